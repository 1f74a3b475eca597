#include "host/components/vant_live_packet_source.h"

#include <algorithm>
#include <climits>
#include <pcap/pcap.h>

VANTPcapLiveSource::~VANTPcapLiveSource() {
  if (m_handle != nullptr) {
    pcap_close(m_handle);
  }
}

bool VANTPcapLiveSource::Fail(const std::string& reason) {
  m_error = m_name + ": " + reason;
  if (m_handle != nullptr) {
    pcap_close(m_handle);
    m_handle = nullptr;
  }
  m_descriptor = -1;
  return false;
}

bool VANTPcapLiveSource::Open(const std::string& interface,
                              const VANTLiveCaptureSettings& settings) {
  m_name = interface;
  char text[PCAP_ERRBUF_SIZE] = {};
  m_handle = pcap_create(interface.c_str(), text);
  if (m_handle == nullptr) {
    return Fail(text);
  }
  pcap_set_snaplen(m_handle, static_cast<int>(settings.snapLength));
  pcap_set_promisc(m_handle, settings.promiscuous ? 1 : 0);
  pcap_set_buffer_size(m_handle,
                       static_cast<int>(std::min<int64_t>(settings.bufferBytes, INT_MAX)));
  if (settings.immediate) {
    pcap_set_immediate_mode(m_handle, 1);
  } else {
    pcap_set_timeout(m_handle, settings.bufferTimeoutMs);
  }
  // The finest times the kernel has; refused by some platforms, which then give microseconds.
  pcap_set_tstamp_precision(m_handle, PCAP_TSTAMP_PRECISION_NANO);

  const int status = pcap_activate(m_handle);
  if (status < 0) {
    const std::string detail = pcap_geterr(m_handle);
    switch (status) {
    case PCAP_ERROR_NO_SUCH_DEVICE:
      return Fail("no such interface");
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED:
      return Fail("no permission to capture (it needs root, or the capabilities cap_net_raw and "
                  "cap_net_admin)" +
                  (detail.empty() ? std::string() : ": " + detail));
    case PCAP_ERROR_IFACE_NOT_UP:
      return Fail("the interface is not up");
    default:
      return Fail(detail.empty() ? std::string(pcap_statustostr(status)) : detail);
    }
  }
  if (status > 0) {
    const std::string detail = pcap_geterr(m_handle);
    m_warning = m_name + ": " +
                (status == PCAP_WARNING_PROMISC_NOTSUP ? std::string("no promiscuous mode")
                                                       : std::string(pcap_statustostr(status))) +
                (detail.empty() ? "" : " (" + detail + ")");
  }
  m_nanoseconds = pcap_get_tstamp_precision(m_handle) == PCAP_TSTAMP_PRECISION_NANO;
  m_linkType = static_cast<uint32_t>(pcap_datalink(m_handle));
  m_snapLength = static_cast<uint32_t>(pcap_snapshot(m_handle));

  if (!settings.filter.empty()) {
    bpf_program program{};
    if (pcap_compile(m_handle, &program, settings.filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
      return Fail("the capture filter '" + settings.filter +
                  "' is not valid: " + pcap_geterr(m_handle));
    }
    const int set = pcap_setfilter(m_handle, &program);
    pcap_freecode(&program);
    if (set != 0) {
      return Fail("cannot set the capture filter: " + std::string(pcap_geterr(m_handle)));
    }
  }
  if (pcap_setnonblock(m_handle, 1, text) != 0) {
    return Fail(text);
  }
  m_descriptor = pcap_get_selectable_fd(m_handle);
  if (m_descriptor < 0) {
    return Fail("the capture has no descriptor to wait on");
  }
  return true;
}

VANTLivePacketSource::Step VANTPcapLiveSource::Next(VANTCapturePacket& packet) {
  if (m_handle == nullptr) {
    return Step::kError;
  }
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  const int got = pcap_next_ex(m_handle, &header, &data);
  if (got == 1) {
    packet.tsSec = header->ts.tv_sec;
    packet.tsUsec = m_nanoseconds ? header->ts.tv_usec / 1000 : header->ts.tv_usec;
    packet.inclLen = header->caplen;
    packet.origLen = header->len;
    packet.data = data;
    return Step::kPacket;
  }
  if (got == 0 || got == PCAP_ERROR_BREAK) {
    return Step::kNone;
  }
  m_error = m_name + ": " + pcap_geterr(m_handle);
  return Step::kError;
}

VANTLivePacketSource::Drops VANTPcapLiveSource::ReadDrops() {
  pcap_stat stats{};
  if (m_handle != nullptr && pcap_stats(m_handle, &stats) == 0) {
    m_drops.kernel = stats.ps_drop;
    m_drops.interface = stats.ps_ifdrop;
  }
  return m_drops;
}
