// Debug text of texts and operating-system errors.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zel_text.h"
#include "zel_utf8.h"

namespace zel_text {
namespace {

// The escapes written as a backslash and one character; empty for the rest.
std::string_view short_escape(char c) {
  switch (c) {
    case '"':
      return R"(\")";
    case '\\':
      return R"(\\)";
    case '\t':
      return R"(\t)";
    case '\r':
      return R"(\r)";
    case '\n':
      return R"(\n)";
    case '\0':
      return R"(\0)";
    default:
      return {};
  }
}

void append_escaped_char(std::string& out, char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (const std::string_view escape = short_escape(c); !escape.empty()) {
    out += escape;
  } else if (byte < 0x20 || byte == 0x7f) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", byte);
    out += buf;
  } else {
    out.push_back(c);
  }
}

void append_byte_escape(std::string& out, char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
  out += buf;
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  // Well-formed runs are escaped character by character; each maximal
  // ill-formed subpart between them byte by byte. No byte of such a subpart
  // can start a well-formed sequence (all but its first are continuation
  // bytes), so this marks exactly the bytes that belong to no sequence.
  while (!text.empty()) {
    const auto checked = zel_utf8::validate(text);
    const std::size_t valid = checked ? text.size() : checked.error().valid_up_to;
    for (const char c : text.substr(0, valid)) append_escaped_char(out, c);
    text.remove_prefix(valid);
    if (text.empty()) break;
    const std::size_t broken = checked.error().error_len.value_or(text.size());
    for (const char c : text.substr(0, broken)) append_byte_escape(out, c);
    text.remove_prefix(broken);
  }
  out.push_back('"');
  return out;
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

std::string os_error_debug(int code) {
  char buf[256];
  // The GNU strerror_r returns the message, not always in `buf`.
  const char* message = strerror_r(code, buf, sizeof buf);
  return "Os { code: " + std::to_string(code) + ", kind: " + std::string(errno_kind_name(code)) +
         ", message: " + debug_quoted(message) + " }";
}

std::string os_error_text(int code) {
  char buf[256];
  return std::string(strerror_r(code, buf, sizeof buf)) + " (os error " + std::to_string(code) +
         ")";
}

}  // namespace zel_text
