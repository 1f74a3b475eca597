#include "tools/merge/vant_merge_inputs.h"

#include <algorithm>
#include <sys/stat.h>

namespace VANT {

size_t MergeReadBlockSize(size_t inputs) {
  constexpr size_t kAllBlocks = size_t{8} << 20;
  const size_t share = kAllBlocks / std::max<size_t>(inputs, 1);
  return std::clamp(share, VANTPcapCaptureReader::kSmallestBlockSize,
                    VANTPcapCaptureReader::kDefaultBlockSize);
}

MergeInputCheck CheckMergeInputs(const std::vector<std::string>& paths,
                                 const std::function<bool()>& interrupted) {
  MergeInputCheck check;
  const size_t block = MergeReadBlockSize(paths.size());
  for (const std::string& path : paths) {
    auto reader = std::make_unique<VANTPcapCaptureReader>();
    if (interrupted) {
      reader->SetInterruptCheck(interrupted);
    }
    if (!reader->Open(path, block)) {
      check.errors.push_back(reader->Error());
      continue;
    }
    MergeInputInfo info;
    info.path = path;
    info.linkType = reader->LinkType();
    info.snapLength = reader->SnapLength();
    info.fileSize = reader->FileSize();
    check.sizeKnown = check.sizeKnown && (path != "-" && info.fileSize > 0);
    VANTCapturePacket first;
    const VANTPcapCaptureReader::Step step = reader->Peek(first);
    if (step == VANTPcapCaptureReader::Step::kError) {
      check.errors.push_back(reader->Error());
      continue;
    }
    info.hasPacket = step == VANTPcapCaptureReader::Step::kPacket;
    info.firstTimestamp = info.hasPacket ? first.Timestamp() : 0;
    info.reader = std::move(reader);
    check.inputs.push_back(std::move(info));
  }
  const MergeInputInfo* first = nullptr;
  for (const MergeInputInfo& info : check.inputs) {
    check.snapLength = std::max(check.snapLength, info.snapLength);
    check.totalSize += info.fileSize;
    if (info.linkType == 0) {
      continue; // describes no interface: holds no packet either
    }
    if (first == nullptr) {
      first = &info;
      check.linkType = info.linkType;
    } else if (info.linkType != first->linkType) {
      check.errors.push_back(info.path + ": different link types: link type " +
                             LinkTypeName(info.linkType) + ", but " + first->path +
                             " has link type " + LinkTypeName(first->linkType));
    }
  }
  if (check.linkType == 0) {
    check.linkType = 1; // no input says: an empty capture of the most common type
  }
  check.ok = check.errors.empty() && check.inputs.size() == paths.size();
  if (!check.ok) {
    check.inputs.clear();
  }
  return check;
}

bool OutputIsAnInput(const std::string& output, const std::vector<std::string>& inputs) {
  struct stat out {};
  if (output == "-" || stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) {
    return false; // a new file, standard output, or a device such as /dev/null
  }
  for (const std::string& input : inputs) {
    struct stat in {};
    if (input != "-" && stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino) {
      return true;
    }
  }
  return false;
}

} // namespace VANT
