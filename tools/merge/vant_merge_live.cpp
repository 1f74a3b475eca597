#include "tools/merge/vant_merge_live.h"

#include <algorithm>

namespace VANT {

namespace {

// The longest time the kernel keeps a block of captured packets before handing it over.
constexpr int64_t kLongestBlockMs = 10;

} // namespace

VANTLiveCaptureSettings LiveCaptureSettings(const MergeOptions& options) {
  VANTLiveCaptureSettings settings;
  settings.snapLength = options.snapLength;
  settings.bufferBytes = options.kernelBufferMiB << 20;
  settings.promiscuous = options.promiscuous;
  settings.immediate = options.immediate;
  settings.filter = options.filter;
  // The ring holds a fixed number of blocks (8 MiB by default: 32), and the kernel hands a block
  // over when it is full or when this time has passed; a slow link thus uses a whole block per
  // time-out. A tenth of the delivery bound lets a capture thread fall behind by about three
  // times the bound before the kernel drops anything, and delays no packet beyond the bound.
  settings.bufferTimeoutMs =
      static_cast<int32_t>(std::clamp<int64_t>(options.delayBound / 10000, 1, kLongestBlockMs));
  return settings;
}

MergeLiveInputs LiveInputsOf(std::vector<std::unique_ptr<VANTLivePacketSource>> sources) {
  MergeLiveInputs inputs;
  const VANTLivePacketSource* first = nullptr;
  for (const auto& source : sources) {
    inputs.names.push_back(source->Name());
    inputs.snapLength = std::max(inputs.snapLength, source->SnapLength());
    if (first == nullptr) {
      first = source.get();
      inputs.linkType = source->LinkType();
    } else if (source->LinkType() != first->LinkType()) {
      inputs.errors.push_back(source->Name() + ": different link types: link type " +
                              LinkTypeName(source->LinkType()) + ", but " + first->Name() +
                              " has link type " + LinkTypeName(first->LinkType()));
    }
  }
  inputs.ok = inputs.errors.empty() && !sources.empty();
  if (inputs.ok) {
    inputs.sources = std::move(sources);
  }
  return inputs;
}

MergeLiveInputs OpenLiveInputs(const MergeOptions& options) {
  const VANTLiveCaptureSettings settings = LiveCaptureSettings(options);
  std::vector<std::unique_ptr<VANTLivePacketSource>> sources;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  for (const std::string& name : options.interfaces) {
    auto source = std::make_unique<VANTPcapLiveSource>();
    if (!source->Open(name, settings)) {
      errors.push_back(source->Error());
      continue;
    }
    if (!source->Warning().empty()) {
      warnings.push_back(source->Warning());
    }
    sources.push_back(std::move(source));
  }
  if (!errors.empty()) {
    MergeLiveInputs failed;
    failed.errors = std::move(errors);
    return failed; // the sources opened close here
  }
  MergeLiveInputs inputs = LiveInputsOf(std::move(sources));
  inputs.warnings = std::move(warnings);
  return inputs;
}

} // namespace VANT
