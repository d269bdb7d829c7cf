// Text placed into the one-line JUnit document: attribute values and
// character data that keep the document well-formed XML 1.0 and free of raw
// line breaks, whatever bytes the text holds.
//
// Both first decode the text lossily (each ill-formed UTF-8 subpart becomes
// U+FFFD) and then replace every character that XML 1.0 does not allow at all
// (C0 controls other than tab, line feed and carriage return, and U+FFFE,
// U+FFFF) with U+FFFD: such characters cannot appear in a document even as
// character references, so replacing them is the only way to keep it
// readable, and the replacement character shows where something was lost.
#pragma once

#include <string>
#include <string_view>

namespace harness {

// For use between the double quotes of an attribute: & < > " ' become entity
// references; tab, line feed and carriage return become the character
// references &#x9; &#xA; &#xD;, so they survive attribute-value normalisation
// and the element stays on one line.
void append_xml_attribute(std::string& out, std::string_view text);

// Character data as one or more CDATA sections on one line: "]]>" becomes
// "]]]]><![CDATA[>", "<?" becomes "<]]><![CDATA[?", every line feed closes the
// section and stands as "&#xA;" before the next one, and empty sections
// between two line breaks are left out ("a\n\nb" is
// "<![CDATA[a]]>&#xA;&#xA;<![CDATA[b]]>"). A carriage return is treated like
// a line feed and written as "&#xD;": left inside a section, a reader would
// turn it into a line feed and "a\r\nb" would come back as two line breaks.
void append_xml_character_data(std::string& out, std::string_view text);

}  // namespace harness
