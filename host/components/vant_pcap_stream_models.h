#pragma once
// The component models of the host side for PCAP streams: the file player ("PcapFilePlayer"),
// which turns a capture file into a PCAP stream and ends it with an end-of-file event, the live
// capture ("PcapLiveCapture"), which does the same with the packets of a network interface, and
// the file recorder ("PcapFileRecorder"), which writes a PCAP stream back into a capture file. All
// are
// built with the runtime that is linked into the program (never into a package file), so their
// FIFO layouts are those of any package built from the same sources and flags.
//
// Add them to a host with Host::AddModels(&VANT::PcapStreamModels), after the program's own copy
// of the runtime has been initialised with that host (VANTModuleRegistry::Initialise).

#include "pcap_stream/vant_pcap_stream.h" // the PCAP stream type they play and record

#include <cstdint>

namespace VANT {

inline constexpr const char kPcapFilePlayerModel[] = "PcapFilePlayer";
inline constexpr const char kPcapFileRecorderModel[] = "PcapFileRecorder";
inline constexpr const char kPcapLiveCaptureModel[] = "PcapLiveCapture";

/// The models query (the form of VANTGetModulesDefStruct): the three records for a null group,
/// none for any named group.
int32_t PcapStreamModels(const char* groupName, void** out, int32_t maxCount);

} // namespace VANT
