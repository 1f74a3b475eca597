#pragma once
// vant_pcap_file_recorder: writes a PCAP stream into a classic microsecond capture file. It reads
// its input `input` (VANTpcap_data_t elements) and writes every packet of every element, in
// order, with the stream's link type; captured length, original length (len2) and the data go
// into the file unchanged. One Integer64 event on its input `end_of_file` ends the recording:
// whatever the stream still holds is written first (the data input is always read before the
// end-of-file input), then the file is closed, both inputs are let go so that the writer upstream
// sees everything read, and the recorder idles until it is stopped.
//
// The file is created at Birth. An element whose link type differs from the file's, a packet
// that does not fit its element, or a write that fails is raised through Error; Failed() and
// FailureText() tell the caller.
//
// Thread: configure before the start; the counters may be read from any thread at any time.

#include "component/vant_pcap_data.h"
#include "host/components/vant_pcap_capture_file.h"
#include "runtime/vant_component.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class vant_pcap_file_recorder : public virtual VANTComponent {
public:
  vant_pcap_file_recorder(const char* name, VANTComponentModelDefinition* record);
  ~vant_pcap_file_recorder() override;

  /// The file to write, its link type and the snapshot length written into its header.
  void Configure(const std::string& path, uint32_t linkType, uint32_t snapLength = 262144);

  void Birth() override;
  void Cycle() override;
  void Death() override;

  uint64_t PacketsWritten() const noexcept { return m_packets.load(std::memory_order_relaxed); }
  uint64_t BytesWritten() const noexcept { return m_bytes.load(std::memory_order_relaxed); }
  /// Packets whose timestamp is below the one written before them.
  uint64_t OutOfOrder() const noexcept { return m_outOfOrder.load(std::memory_order_relaxed); }
  /// True once the end-of-file event was read and the file closed without error.
  bool Finished() const noexcept { return m_finished.load(std::memory_order_acquire); }
  bool Failed() const noexcept { return m_failed.load(std::memory_order_acquire); }
  std::string FailureText() const;

private:
  [[noreturn]] void Fail(const std::string& text);
  void WriteElement(VANTIOElt* element);
  void Finish();

  VANTInput* m_data = nullptr;
  VANTInput* m_endOfFile = nullptr;
  std::string m_path;
  uint32_t m_linkType = 1;
  uint32_t m_snapLength = 262144;

  std::unique_ptr<VANTPcapCaptureWriter> m_writer;
  int64_t m_lastTimestamp = 0;
  bool m_anyWritten = false;
  VANTEvent m_never; // idling after the end: only the stop event ends the wait

  std::atomic<uint64_t> m_packets{0};
  std::atomic<uint64_t> m_bytes{0};
  std::atomic<uint64_t> m_outOfOrder{0};
  std::atomic<bool> m_finished{false};
  std::atomic<bool> m_failed{false};
  mutable std::mutex m_failureMutex; // guards m_failureText
  std::string m_failureText;
};
