// JSON string escaping and XML attribute values and character data, byte
// for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zel_text.h"

namespace zel_text {
namespace {

TEST(JsonEscape, ByteTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain_name", "plain_name"},
      {"a\"b\tc", "a\\\"b\\tc"},
      {"back\\slash/", "back\\\\slash/"},
      {"\b\f\n\r", "\\b\\f\\n\\r"},
      {"\x1b[31m", "\\u001b[31m"},
      {"\x7f", "\\u007f"},
      {std::string("\0\x01\x0b\x1f", 4), "\\u0000\\u0001\\u000b\\u001f"},
      {"\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xbc \xe2\x82\xac \xf0\x9f\x98\x80"},
      // Bytes that are not UTF-8 become U+FFFD, one per maximal ill-formed subpart.
      {"a\xff"
       "b",
       "a\xef\xbf\xbd"
       "b"},
      {"\xe2\x82", "\xef\xbf\xbd"},
      {"\xc0\xaf\x1b", "\xef\xbf\xbd\xef\xbf\xbd\\u001b"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_escaped(c.in), c.out) << "input: " << c.in;
}

std::string attribute(std::string_view text) {
  std::string out;
  append_xml_attribute(out, text);
  return out;
}

std::string character_data(std::string_view text) {
  std::string out;
  append_xml_character_data(out, text);
  return out;
}

TEST(XmlEscape, AttributeValues) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"host_routes_cover_every_endpoint_field", "host_routes_cover_every_endpoint_field"},
      {"a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
      {"line\nbreak\ttab\rcr", "line&#xA;break&#x9;tab&#xD;cr"},
      {"]]>", "]]&gt;"},
      {"\xc3\xbc\xe2\x82\xac", "\xc3\xbc\xe2\x82\xac"},
      // Characters XML 1.0 forbids, and bytes that are not UTF-8, become U+FFFD.
      {std::string("\0\x1b\x7f", 3), "\xef\xbf\xbd\xef\xbf\xbd\x7f"},
      {"\xef\xbf\xbe\xef\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"a\xff"
       "b\xed\xa0\x80",
       "a\xef\xbf\xbd"
       "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const Case& c : cases) EXPECT_EQ(attribute(c.in), c.out) << "input: " << c.in;
}

TEST(XmlEscape, CharacterDataSections) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", "<![CDATA[]]>"},
      {"plain & <b>", "<![CDATA[plain & <b>]]>"},
      {"a\nb", "<![CDATA[a]]>&#xA;<![CDATA[b]]>"},
      {"a\n", "<![CDATA[a]]>&#xA;<![CDATA[]]>"},
      {"\na", "<![CDATA[]]>&#xA;<![CDATA[a]]>"},
      {"a\n\nb", "<![CDATA[a]]>&#xA;&#xA;<![CDATA[b]]>"},
      {"a\n\n\n", "<![CDATA[a]]>&#xA;&#xA;&#xA;<![CDATA[]]>"},
      {"x]]>y", "<![CDATA[x]]]]><![CDATA[>y]]>"},
      {"<?xml", "<![CDATA[<]]><![CDATA[?xml]]>"},
      {"]]><?", "<![CDATA[]]]]><![CDATA[><]]><![CDATA[?]]>"},
      // A carriage return is kept as a reference, so it reads back unchanged.
      {"a\r\nb", "<![CDATA[a]]>&#xD;&#xA;<![CDATA[b]]>"},
      // Text that looks like a section boundary is data like any other.
      {"<![CDATA[\n", "<![CDATA[<![CDATA[]]>&#xA;<![CDATA[]]>"},
      {std::string("t\x01\0", 3) + "\xff\t", "<![CDATA[t\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\t]]>"},
  };
  for (const Case& c : cases) EXPECT_EQ(character_data(c.in), c.out) << "input: " << c.in;
}

}  // namespace
}  // namespace zel_text
