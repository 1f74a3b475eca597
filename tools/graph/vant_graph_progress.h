#pragma once
// How far a run of a component graph is, for a progress line.

#include <cstdint>

namespace VANT {

struct GraphProgress {
  uint64_t packets = 0;    // packets the recorders wrote so far
  uint64_t bytes = 0;      // their captured bytes
  double seconds = 0;      // since the run started
  uint64_t inputRead = 0;  // bytes of the players' files consumed
  uint64_t inputTotal = 0; // bytes of the players' files (0: not known, e.g. a pipe)
};

} // namespace VANT
