// JSON string escaping by a fixed byte table.
#include "zel_text.h"

#include "zel_utf8.h"

namespace zel_text {
namespace {

void append_escaped_bytes(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
}

}  // namespace

void append_json_escaped(std::string& out, std::string_view text) {
  if (zel_utf8::validate(text)) {
    append_escaped_bytes(out, text);
  } else {
    append_escaped_bytes(out, zel_utf8::decode_lossy(text));
  }
}

std::string json_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_json_escaped(out, text);
  return out;
}

}  // namespace zel_text
