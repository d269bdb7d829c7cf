// Debug text of texts and operating-system errors.
#include "harness/debug.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace harness {

std::string debug_str(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
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
  out.push_back('"');
  return out;
}

std::string_view errno_kind_name(int code) {
  switch (code) {
    case E2BIG: return "ArgumentListTooLong";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case EBUSY: return "ResourceBusy";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNREFUSED: return "ConnectionRefused";
    case ECONNRESET: return "ConnectionReset";
    case EDEADLK: return "Deadlock";
    case EDQUOT: return "QuotaExceeded";
    case EEXIST: return "AlreadyExists";
    case EFBIG: return "FileTooLarge";
    case EHOSTUNREACH: return "HostUnreachable";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case EISDIR: return "IsADirectory";
    case ELOOP: return "FilesystemLoop";
    case ENOENT: return "NotFound";
    case ENOMEM: return "OutOfMemory";
    case ENOSPC: return "StorageFull";
    case ENOSYS: return "Unsupported";
    case EMLINK: return "TooManyLinks";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ENOTCONN: return "NotConnected";
    case ENOTDIR: return "NotADirectory";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EPIPE: return "BrokenPipe";
    case EROFS: return "ReadOnlyFilesystem";
    case ESPIPE: return "NotSeekable";
    case ESTALE: return "StaleNetworkFileHandle";
    case ETIMEDOUT: return "TimedOut";
    case ETXTBSY: return "ExecutableFileBusy";
    case EXDEV: return "CrossesDevices";
    case EINPROGRESS: return "InProgress";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EAGAIN: return "WouldBlock";
    default: return "Uncategorized";
  }
}

std::string os_error_debug(int code) {
  char buf[256];
  // The GNU strerror_r returns the message, not always in `buf`.
  const char* message = strerror_r(code, buf, sizeof buf);
  return "Os { code: " + std::to_string(code) + ", kind: " + std::string(errno_kind_name(code)) +
         ", message: " + debug_str(message) + " }";
}

}  // namespace harness
