// The profile as an SVG timeline: one row per tile (top to bottom in file
// order, labelled by physical number), time from left to right, each sample a
// bar coloured by its step kind, with a legend and a time axis.
#pragma once

#include <string>
#include <string_view>

#include "output.h"
#include "zel_package.h"

namespace zel_profile {

void write_svg(const zel_package::ProfileReport& report, std::string_view title, Output& out);

// `text` fit for XML character data and attribute values alike: markup
// characters and line breaks become references, and bytes or characters XML
// cannot hold at all become U+FFFD.
std::string xml_text(std::string_view text);

}  // namespace zel_profile
