// Any bytes, escaped into a JSON string, parse with a real JSON parser; text
// that was valid UTF-8 comes back unchanged.
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "fuzz_target.h"
#include "zel_text.h"
#include "zel_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string line = "{ \"stdout\": \"" + zel_text::json_escaped(bytes) + "\" }";
  FUZZ_CHECK(line.find('\n') == std::string::npos);  // one event, one line
  const auto parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  FUZZ_CHECK(!parsed.is_discarded());
  FUZZ_CHECK(parsed["stdout"].is_string());
  if (zel_utf8::validate(bytes)) FUZZ_CHECK(parsed["stdout"].get<std::string>() == bytes);
  return 0;
}
