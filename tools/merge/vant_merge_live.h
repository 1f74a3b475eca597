#pragma once
// The interfaces of a live merge, opened before anything is started: each one must open for
// capture (a missing interface, missing permissions or a bad filter is an error naming the
// interface), and all must have one link type. From the moment they are open the kernel keeps
// their packets, so nothing is lost between this check and the start of the merge.

#include "host/components/vant_live_packet_source.h"
#include "tools/merge/vant_merge_options.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace VANT {

/// The least a live capture may queue while its packets wait for their turn.
inline constexpr size_t kLiveQueueBytes = size_t{64} << 20;

struct MergeLiveInputs {
  bool ok = false;
  /// One open source per interface, in command-line order, when ok; the merge takes them.
  std::vector<std::unique_ptr<VANTLivePacketSource>> sources;
  std::vector<std::string> names;
  uint32_t linkType = 1;
  uint32_t snapLength = 0;           // the largest of the interfaces'
  std::vector<std::string> errors;   // one line per refusal, each naming its interface
  std::vector<std::string> warnings; // what opened with less than asked (no promiscuous mode)
};

/// How the options say to capture.
VANTLiveCaptureSettings LiveCaptureSettings(const MergeOptions& options);

/// Opens every interface of options.interfaces; every one is tried, so that one run lists
/// every problem.
MergeLiveInputs OpenLiveInputs(const MergeOptions& options);

/// Sources made elsewhere (tests): checks their link types the same way.
MergeLiveInputs LiveInputsOf(std::vector<std::unique_ptr<VANTLivePacketSource>> sources);

} // namespace VANT
