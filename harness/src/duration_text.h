// Seconds as machine-readable text: the shortest decimal that reads back to
// the same double, never in exponent notation ("1.5", "1", "0", "0.000001").
// Used for every duration of the JSON and JUnit formats.
#pragma once

#include <string>

namespace harness {

void append_duration_text(std::string& out, double seconds);
std::string duration_text(double seconds);

}  // namespace harness
