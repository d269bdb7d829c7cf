// The debug text of package errors: what a caller prints when it gives up.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "zel_package.h"

namespace zel_package {

namespace {

// `text` in double quotes with quotes, backslashes and control characters escaped.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", byte);
          out += buf;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

std::string_view errno_kind_name(int code) {
  switch (code) {
    case E2BIG:
      return "ArgumentListTooLong";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case EBUSY:
      return "ResourceBusy";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case ECONNRESET:
      return "ConnectionReset";
    case EDEADLK:
      return "Deadlock";
    case EDQUOT:
      return "QuotaExceeded";
    case EEXIST:
      return "AlreadyExists";
    case EFBIG:
      return "FileTooLarge";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case EINTR:
      return "Interrupted";
    case EINVAL:
      return "InvalidInput";
    case EISDIR:
      return "IsADirectory";
    case ELOOP:
      return "FilesystemLoop";
    case ENOENT:
      return "NotFound";
    case ENOMEM:
      return "OutOfMemory";
    case ENOSPC:
      return "StorageFull";
    case ENOSYS:
      return "Unsupported";
    case EMLINK:
      return "TooManyLinks";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ENOTCONN:
      return "NotConnected";
    case ENOTDIR:
      return "NotADirectory";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case EPIPE:
      return "BrokenPipe";
    case EROFS:
      return "ReadOnlyFilesystem";
    case ESPIPE:
      return "NotSeekable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case ETIMEDOUT:
      return "TimedOut";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EXDEV:
      return "CrossesDevices";
    case EINPROGRESS:
      return "InProgress";
    case EACCES:
    case EPERM:
      return "PermissionDenied";
    case EAGAIN:
      return "WouldBlock";
    default:
      return "Uncategorized";
  }
}

std::string_view exception_kind_name(kj::Exception::Type type) {
  switch (type) {
    case kj::Exception::Type::FAILED:
      return "Failed";
    case kj::Exception::Type::OVERLOADED:
      return "Overloaded";
    case kj::Exception::Type::DISCONNECTED:
      return "Disconnected";
    case kj::Exception::Type::UNIMPLEMENTED:
      return "Unimplemented";
  }
  return "Unknown";
}

}  // namespace

std::string os_error_debug(int code) {
  char buf[256];
  // The GNU strerror_r returns the message, not always in `buf`.
  const char* message = strerror_r(code, buf, sizeof buf);
  return "Os { code: " + std::to_string(code) + ", kind: " + std::string(errno_kind_name(code)) +
         ", message: " + quoted(message) + " }";
}

std::string debug_text(const PackageError& error) {
  struct Render {
    std::string operator()(const PackageError::Capnp& e) const {
      const kj::StringPtr description = e.exception.getDescription();
      return "Capnp(Error { kind: " + std::string(exception_kind_name(e.exception.getType())) +
             ", extra: " + quoted(std::string_view(description.begin(), description.size())) +
             " })";
    }
    std::string operator()(const PackageError::Io& e) const {
      return "Io(" + os_error_debug(e.error.code) + ")";
    }
    std::string operator()(const PackageError::Utf8& e) const {
      return "Utf8(" + zel_utf8::debug_text(e.error) + ")";
    }
    std::string operator()(const PackageError::SchemaEnum& e) const {
      return "SchemaEnum(NotInSchema(" + std::to_string(e.error.value) + "))";
    }
    std::string operator()(const PackageError::Invalid& e) const {
      return "Invalid(" + quoted(e.message) + ")";
    }
  };
  return std::visit(Render{}, error.value);
}

}  // namespace zel_package
