#pragma once
// Up-front checks of a merge: every input opens as a capture, all have one link type, and the
// output is none of the inputs. Done before anything is started, so that a bad command line costs
// nothing and leaves no half-written output behind. Each input is opened here once and for all:
// its reader goes on to the merge, so that pipes and FIFOs are read once.

#include "host/components/vant_pcap_capture_file.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace VANT {

struct MergeInputInfo {
  std::string path;
  std::unique_ptr<VANTPcapCaptureReader> reader; // open, at its first packet
  uint32_t linkType = 0;                         // 0: the file describes no interface
  uint32_t snapLength = 0;
  uint64_t fileSize = 0; // 0 for anything but a regular file
  bool hasPacket = false;
  int64_t firstTimestamp = 0; // when hasPacket
};

struct MergeInputCheck {
  bool ok = false;
  std::vector<MergeInputInfo> inputs; // one per input, in order, when ok
  uint32_t linkType = 0;              // the common link type
  uint32_t snapLength = 0;            // the largest snapshot length
  uint64_t totalSize = 0;             // bytes of all inputs together
  bool sizeKnown = true;              // false when an input is no regular file
  std::vector<std::string> errors;    // one line per refusal, each naming its file
};

/// The read block of each of `inputs` inputs: large blocks for few inputs, smaller ones for many,
/// so that all of them together stay within a few megabytes.
size_t MergeReadBlockSize(size_t inputs);

/// Opens every input (missing, unreadable or not a capture is an error naming the file and the
/// reason), then compares their link types: inputs whose link type differs from the first one's
/// are each named with both link types. Every input is checked, so that one run lists every
/// problem. An input that describes no interface (an empty next-generation file) fits any.
/// `interrupted`, when given, is asked while an input keeps the check waiting (a pipe without
/// data yet): when it answers true, that input fails with "interrupted".
MergeInputCheck CheckMergeInputs(const std::vector<std::string>& paths,
                                 const std::function<bool()>& interrupted = nullptr);

/// True when `output` names an existing file that is also one of `inputs` (same device and
/// inode): writing it would destroy an input while it is read.
bool OutputIsAnInput(const std::string& output, const std::vector<std::string>& inputs);

} // namespace VANT
