// XML attribute values and character data.
#include "zel_text.h"

#include <cstddef>

#include "zel_utf8.h"

namespace zel_text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_disallowed_control(unsigned char byte) {
  return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
}

// U+FFFE and U+FFFF: EF BF BE and EF BF BF.
bool is_noncharacter_at(std::string_view text, std::size_t i) {
  return i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xEF &&
         static_cast<unsigned char>(text[i + 1]) == 0xBF &&
         (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE;
}

// `text` as valid UTF-8 holding only characters XML 1.0 allows.
std::string xml_chars(std::string_view text) {
  std::string decoded;
  if (!zel_utf8::validate(text)) {
    decoded = zel_utf8::decode_lossy(text);
    text = decoded;
  }
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_disallowed_control(static_cast<unsigned char>(text[i]))) {
      out += kReplacement;
    } else if (is_noncharacter_at(text, i)) {
      out += kReplacement;
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// One line of character data inside an open section.
void append_section_text(std::string& out, std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line.substr(i, 3) == "]]>") {
      out += "]]]]><![CDATA[>";
      i += 2;
    } else if (line.substr(i, 2) == "<?") {
      out += "<]]><![CDATA[?";
      i += 1;
    } else {
      out.push_back(line[i]);
    }
  }
}

}  // namespace

void append_xml_attribute(std::string& out, std::string_view text) {
  for (const char c : xml_chars(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#x9;";
        break;
      case '\n':
        out += "&#xA;";
        break;
      case '\r':
        out += "&#xD;";
        break;
      default:
        out.push_back(c);
    }
  }
}

void append_xml_character_data(std::string& out, std::string_view text) {
  const std::string checked = xml_chars(text);
  const std::string_view data = checked;
  // Lines between breaks, each its own section. The first and the last are
  // always written, even when empty, so the data starts and ends inside a
  // section; an empty line between two breaks is left out.
  std::size_t brk = data.find_first_of("\n\r");
  out += "<![CDATA[";
  append_section_text(out, data.substr(0, brk));
  bool open = true;
  while (brk != std::string_view::npos) {
    if (open) out += "]]>";
    out += data[brk] == '\n' ? "&#xA;" : "&#xD;";
    const std::size_t start = brk + 1;
    brk = data.find_first_of("\n\r", start);
    const std::string_view line =
        brk == std::string_view::npos ? data.substr(start) : data.substr(start, brk - start);
    open = !line.empty() || brk == std::string_view::npos;
    if (open) {
      out += "<![CDATA[";
      append_section_text(out, line);
    }
  }
  out += "]]>";
}

}  // namespace zel_text
