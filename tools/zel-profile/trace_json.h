// The profile as a trace-event JSON document, the format that trace viewers
// open: one process for the card, one thread per tile, one complete event per
// sample.
#pragma once

#include <string_view>

#include "output.h"
#include "zel_package.h"

namespace zel_profile {

// Times are whole cycles, written where the format expects microseconds, so
// every start and end is an exact integer and samples that touch stay
// touching in any viewer. Thread ids count from 1 in file order; a tile whose
// samples overlap without nesting gets further threads, so that every thread
// holds slices that nest strictly. Every event carries "cat".
void write_trace(const zel_package::ProfileReport& report, std::string_view card_name, Output& out);

// `text` as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

}  // namespace zel_profile
