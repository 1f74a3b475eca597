#include "tools/merge/vant_merge_inputs.h"

#include "host/components/vant_pcap_capture_file.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

namespace VANT {

MergeInputCheck CheckMergeInputs(const std::vector<std::string>& paths) {
  MergeInputCheck check;
  for (const std::string& path : paths) {
    VANTPcapCaptureReader reader;
    if (!reader.Open(path)) {
      check.errors.push_back(reader.Error());
      continue;
    }
    MergeInputInfo info;
    info.path = path;
    info.linkType = reader.LinkType();
    info.snapLength = reader.SnapLength();
    info.fileSize = reader.FileSize();
    check.inputs.push_back(std::move(info));
  }
  if (!check.inputs.empty()) {
    const MergeInputInfo& first = check.inputs.front();
    check.linkType = first.linkType;
    for (const MergeInputInfo& info : check.inputs) {
      if (info.linkType != first.linkType) {
        check.errors.push_back(info.path + ": different link types: link type " +
                               LinkTypeName(info.linkType) + ", but " + first.path +
                               " has link type " + LinkTypeName(first.linkType));
      }
      if (info.snapLength > check.snapLength) {
        check.snapLength = info.snapLength;
      }
      check.totalSize += info.fileSize;
    }
  }
  check.ok = check.errors.empty() && check.inputs.size() == paths.size();
  if (!check.ok) {
    check.inputs.clear();
  }
  return check;
}

bool OutputIsAnInput(const std::string& output, const std::vector<std::string>& inputs) {
  struct stat out {};
  if (stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) {
    return false; // a new file, or a device such as /dev/null
  }
  for (const std::string& input : inputs) {
    struct stat in {};
    if (stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
      return true;
    }
  }
  return false;
}

std::string LinkTypeName(uint32_t linkType) {
  const int dlt = static_cast<int>(linkType);
  const char* name = pcap_datalink_val_to_name(dlt);
  const char* description = pcap_datalink_val_to_description(dlt);
  std::string text = std::to_string(linkType);
  if (name != nullptr) {
    text += " (";
    text += name;
    if (description != nullptr) {
      text += std::string(", ") + description;
    }
    text += ")";
  }
  return text;
}

} // namespace VANT
