// The validator and the lossy decoder agree with each other on any bytes.
#include <string_view>

#include "fuzz_target.h"
#include "zel_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto checked = zel_utf8::validate(bytes);
  const std::string decoded = zel_utf8::decode_lossy(bytes);
  FUZZ_CHECK(zel_utf8::validate(decoded).has_value());
  if (checked) {
    FUZZ_CHECK(decoded == bytes);
  } else {
    const auto& error = checked.error();
    FUZZ_CHECK(error.valid_up_to < size);
    FUZZ_CHECK(zel_utf8::validate(bytes.substr(0, error.valid_up_to)).has_value());
    FUZZ_CHECK(decoded.compare(0, error.valid_up_to, bytes.substr(0, error.valid_up_to)) == 0);
    if (error.error_len) {
      FUZZ_CHECK(*error.error_len >= 1 && *error.error_len <= 3);
      FUZZ_CHECK(error.valid_up_to + *error.error_len <= size);
    } else {
      FUZZ_CHECK(size - error.valid_up_to <= 3);  // cut off inside one sequence
    }
  }
  return 0;
}
