#pragma once
// Up-front checks of a merge: every input opens as a capture, all have one link type, and the
// output is none of the inputs. Done before anything is started, so that a bad command line costs
// nothing and leaves no half-written output behind.

#include <cstdint>
#include <string>
#include <vector>

namespace VANT {

struct MergeInputInfo {
  std::string path;
  uint32_t linkType = 0;
  uint32_t snapLength = 0;
  uint64_t fileSize = 0;
};

struct MergeInputCheck {
  bool ok = false;
  std::vector<MergeInputInfo> inputs; // one per input, in order, when ok
  uint32_t linkType = 0;              // the common link type
  uint32_t snapLength = 0;            // the largest snapshot length
  uint64_t totalSize = 0;             // bytes of all inputs together
  std::vector<std::string> errors;    // one line per refusal, each naming its file
};

/// Opens every input (missing, unreadable or not a capture is an error naming the file and the
/// reason), then compares their link types: inputs whose link type differs from the first one's
/// are each named with both link types. Every input is checked, so that one run lists every
/// problem.
MergeInputCheck CheckMergeInputs(const std::vector<std::string>& paths);

/// True when `output` names an existing file that is also one of `inputs` (same device and
/// inode): writing it would destroy an input while it is read.
bool OutputIsAnInput(const std::string& output, const std::vector<std::string>& inputs);

/// A readable name for a link type, such as "EN10MB (Ethernet)", or its number.
std::string LinkTypeName(uint32_t linkType);

} // namespace VANT
