#include "pcap_stream/vant_pcap_stream.h"

namespace VANT {

const VANTDataTypeFilter& PcapStreamFilter() {
  static const VANTDataTypeFilter filter(TypeCode::PcapStream, TypeCode::PcapStream, 0xFFFFFFFFu,
                                         kPcapStructureName, nullptr);
  return filter;
}

} // namespace VANT
