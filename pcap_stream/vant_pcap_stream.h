#pragma once
// The PCAP stream type: the data type of an output whose elements each hold one VANTpcap_data_t
// header (pcap_stream/vant_pcap_data.h), and the filter of the inputs that accept it. The
// package's components and the host's file player and recorder use these same definitions.

#include "dataflow/vant_data_type.h"
#include "pcap_stream/vant_pcap_data.h"

#include <cstdint>

namespace VANT {

/// The structure name of the PCAP stream type, and its type word: a vector of one header each.
inline constexpr const char kPcapStructureName[] = "VANTpcap_data_t";
inline constexpr uint64_t kPcapStreamFlags = VectorFlag | TypeCode::PcapStream;
/// The byte size of one VANTpcap_data_t header: the vector size of every PCAP element.
inline constexpr int32_t kPcapElementSize = static_cast<int32_t>(sizeof(VANTpcap_data_t));

/// What a PCAP input accepts: mask and value PcapStream, any code, structure name
/// VANTpcap_data_t.
const VANTDataTypeFilter& PcapStreamFilter();

} // namespace VANT
