#include "host/components/vant_pcap_capture_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pcap/pcap.h>
#include <sys/stat.h>

namespace {

// libpcap reads through stdio; a large buffer halves the number of read calls on big captures.
constexpr size_t kStdioBuffer = 1 << 20;

std::string SystemError(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof(buffer));
}

} // namespace

VANTPcapCaptureReader::~VANTPcapCaptureReader() {
  if (m_handle != nullptr) {
    pcap_close(m_handle);
  }
}

bool VANTPcapCaptureReader::Open(const std::string& path) {
  if (m_handle != nullptr) { // opened again: the old file goes first (it uses the buffer)
    pcap_close(m_handle);
    m_handle = nullptr;
  }
  m_path = path;
  m_error.clear();
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    m_error = path + ": " + SystemError(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    m_error = path + ": is a directory, not a capture file";
    return false;
  }
  m_fileSize = static_cast<uint64_t>(info.st_size);
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    m_error = path + ": " + SystemError(errno);
    return false;
  }
  // The buffer must be given: with a null one, stdio keeps its own block-sized buffer.
  if (!m_stdioBuffer) {
    m_stdioBuffer = std::make_unique<char[]>(kStdioBuffer);
  }
  std::setvbuf(file, m_stdioBuffer.get(), _IOFBF, kStdioBuffer);
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  m_handle = pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_MICRO, errbuf);
  if (m_handle == nullptr) {
    std::fclose(file);
    if (m_fileSize == 0) {
      m_error = path + ": not a capture file (the file is empty)";
    } else if (std::strstr(errbuf, "truncated") != nullptr) {
      m_error = path + ": truncated capture file (" + errbuf + ")";
    } else {
      m_error = path + ": not a capture file (" + errbuf + ")";
    }
    return false;
  }
  m_linkType = static_cast<uint32_t>(pcap_datalink(m_handle));
  m_snapLength = static_cast<uint32_t>(pcap_snapshot(m_handle));
  return true;
}

VANTPcapCaptureReader::Step VANTPcapCaptureReader::Next(VANTCapturePacket& packet) {
  if (m_handle == nullptr) {
    m_error = m_path + ": not open";
    return Step::kError;
  }
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  const int result = pcap_next_ex(m_handle, &header, &data);
  if (result == 1) {
    packet.tsSec = header->ts.tv_sec;
    packet.tsUsec = header->ts.tv_usec;
    packet.inclLen = header->caplen;
    packet.origLen = header->len;
    packet.data = data;
    return Step::kPacket;
  }
  if (result == PCAP_ERROR_BREAK) {
    return Step::kEnd;
  }
  const char* reason = pcap_geterr(m_handle);
  if (std::strstr(reason, "truncated") != nullptr) {
    m_error = m_path + ": truncated capture file (" + reason + ")";
  } else {
    m_error = m_path + ": damaged capture file (" + reason + ")";
  }
  return Step::kError;
}

uint64_t VANTPcapCaptureReader::BytesRead() const noexcept {
  if (m_handle == nullptr) {
    return 0;
  }
  const long at = std::ftell(pcap_file(m_handle));
  return at < 0 ? 0 : static_cast<uint64_t>(at);
}

VANTPcapCaptureWriter::~VANTPcapCaptureWriter() {
  (void)Close();
}

bool VANTPcapCaptureWriter::Open(const std::string& path, uint32_t linkType, uint32_t snapLength) {
  (void)Close(); // opened again: the old file is finished first (it uses the buffer)
  m_path = path;
  m_error.clear();
  m_linkType = linkType;
  m_dead = pcap_open_dead_with_tstamp_precision(
      static_cast<int>(linkType), static_cast<int>(snapLength), PCAP_TSTAMP_PRECISION_MICRO);
  if (m_dead == nullptr) {
    m_error = path + ": cannot create a capture with link type " + std::to_string(linkType);
    return false;
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    m_error = path + ": " + SystemError(errno);
    pcap_close(m_dead);
    m_dead = nullptr;
    return false;
  }
  if (!m_stdioBuffer) {
    m_stdioBuffer = std::make_unique<char[]>(kStdioBuffer);
  }
  std::setvbuf(file, m_stdioBuffer.get(), _IOFBF, kStdioBuffer);
  m_dumper = pcap_dump_fopen(m_dead, file);
  if (m_dumper == nullptr) {
    m_error = path + ": " + pcap_geterr(m_dead);
    std::fclose(file);
    pcap_close(m_dead);
    m_dead = nullptr;
    return false;
  }
  return true;
}

bool VANTPcapCaptureWriter::Write(int64_t tsSec, int64_t tsUsec, uint32_t inclLen, uint32_t origLen,
                                  const uint8_t* data) {
  if (m_dumper == nullptr) {
    m_error = m_path + ": not open";
    return false;
  }
  // A classic record holds both timestamp fields as 32-bit words, which libpcap reads back as
  // signed: anything else would be written wrapped, a silently different time.
  if (!VANTPcapCaptureWriter::FitsRecord(tsSec, tsUsec)) {
    m_error = m_path + ": timestamp " + std::to_string(tsSec) + " s " + std::to_string(tsUsec) +
              " us cannot be stored in a pcap record";
    return false;
  }
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(tsSec);
  header.ts.tv_usec = static_cast<suseconds_t>(tsUsec);
  header.caplen = inclLen;
  header.len = origLen;
  pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, data);
  return true;
}

bool VANTPcapCaptureWriter::Close() {
  bool ok = true;
  if (m_dumper != nullptr) {
    FILE* file = pcap_dump_file(m_dumper);
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
      m_error = m_path + ": " + SystemError(errno);
      ok = false;
    }
    pcap_dump_close(m_dumper); // closes the file too
    m_dumper = nullptr;
  }
  if (m_dead != nullptr) {
    pcap_close(m_dead);
    m_dead = nullptr;
  }
  return ok;
}
