// Any bytes placed in a JUnit attribute and in its character data keep the
// document well-formed XML on one line.
#include <libxml/parser.h>

#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "zel_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string doc = R"(<?xml version="1.0" encoding="UTF-8"?><testcase name=")";
  zel_text::append_xml_attribute(doc, bytes);
  doc += R"("><failure message=")";
  zel_text::append_xml_attribute(doc, bytes);
  doc += R"(" type="assert"/><system-out>)";
  zel_text::append_xml_character_data(doc, bytes);
  doc += "</system-out></testcase>";
  FUZZ_CHECK(doc.find('\n') == std::string::npos);

  xmlDocPtr parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), "fuzz.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  FUZZ_CHECK(parsed != nullptr);
  xmlFreeDoc(parsed);
  return 0;
}
