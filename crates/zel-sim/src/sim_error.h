// The two kinds of failure the simulated card reports, both as values.
//
// `SimError`: something the card refused at run time (an access outside a
// tile's SRAM, a schedule that writes one address twice in a phase, a host
// packet to no tile). It carries the exchange library's error code and a line
// that names what was asked and what was expected.
// `ConfigError`: a mistake in how a program or layout was put together
// (overlapping SRAM arenas, a buffer that does not fit), found before anything
// runs.
#pragma once

#include <string>
#include <utility>

#include "text.h"
#include "zel_exchange.h"

namespace zel_sim {

struct SimError {
  zel_exchange::ExchangeError code;
  std::string detail;

  // "tile 7 (physical 448): 16 bytes at 0x6fff8 pass the end of the 0x70000-byte
  // SRAM [Address(458744)]"
  std::string describe() const;
};

struct ConfigError {
  std::string message;
};

inline SimError sim_error(zel_exchange::ExchangeError code, std::string detail) {
  return SimError{code, std::move(detail)};
}

}  // namespace zel_sim
