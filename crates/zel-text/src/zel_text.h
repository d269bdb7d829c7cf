// The text forms every part of the workspace shares: the debug text of texts
// and operating-system errors used in failure messages, and escaping for JSON
// strings and for XML attribute values and character data.
//
//   panic("expected " + zel_text::debug_quoted(name));
//   zel_text::append_json_escaped(line, captured_output);
#pragma once

#include <string>
#include <string_view>

namespace zel_text {

// Debug text: the text form of values used in failure messages.
//
// `text` between double quotes; `"` and `\` get a backslash, \t \r \n \0 their
// usual escapes, other control characters (and DEL) \u{xx} in lower-case hex.
// Well-formed multi-byte UTF-8 sequences pass unchanged; every byte that is
// not part of one is written \xNN in lower-case hex, so the text always stays
// one readable line whatever bytes it holds (a lone byte FF becomes the four
// characters \xff).
std::string debug_quoted(std::string_view text);

// The kind name of an errno value as the runtime names it (NotFound,
// PermissionDenied, BrokenPipe, ...; "Uncategorized" for the rest).
std::string_view errno_kind_name(int code);

// Os { code: N, kind: Kind, message: "strerror text" }
std::string os_error_debug(int code);

// The form a person reads after a path: "strerror text (os error N)".
std::string os_error_text(int code);

// Appends `text` escaped for use between the double quotes of a JSON string:
// `"` and `\` get a backslash; backspace, tab, line feed, form feed and
// carriage return become \b \t \n \f \r; every other byte below 0x20, and 0x7F,
// becomes \u00xx with lower-case hex digits. Every other byte, the bytes of
// multi-byte UTF-8 sequences included, is copied unchanged. Text that is not
// valid UTF-8 is first decoded lossily (each ill-formed subpart becomes
// U+FFFD), so every line stays readable JSON whatever bytes a text holds.
void append_json_escaped(std::string& out, std::string_view text);

std::string json_escaped(std::string_view text);

// Text placed into an XML document: attribute values and character data that
// keep the document well-formed XML 1.0 and free of raw line breaks, whatever
// bytes the text holds.
//
// Both first decode the text lossily (each ill-formed UTF-8 subpart becomes
// U+FFFD) and then replace every character that XML 1.0 does not allow at all
// (C0 controls other than tab, line feed and carriage return, and U+FFFE,
// U+FFFF) with U+FFFD: such characters cannot appear in a document even as
// character references, so replacing them is the only way to keep it
// readable, and the replacement character shows where something was lost.

// For use between the double quotes of an attribute: & < > " ' become entity
// references; tab, line feed and carriage return become the character
// references &#x9; &#xA; &#xD;, so they survive attribute-value normalisation
// and the element stays on one line. The result is also sound element content.
void append_xml_attribute(std::string& out, std::string_view text);

// Character data as one or more CDATA sections on one line: "]]>" becomes
// "]]]]><![CDATA[>", "<?" becomes "<]]><![CDATA[?", every line feed closes the
// section and stands as "&#xA;" before the next one, and empty sections
// between two line breaks are left out ("a\n\nb" is
// "<![CDATA[a]]>&#xA;&#xA;<![CDATA[b]]>"). A carriage return is treated like
// a line feed and written as "&#xD;": left inside a section, a reader would
// turn it into a line feed and "a\r\nb" would come back as two line breaks.
void append_xml_character_data(std::string& out, std::string_view text);

}  // namespace zel_text
