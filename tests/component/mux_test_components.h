#pragma once
// Test components around the sorting multiplexer: a source that publishes given elements (PCAP
// batches, Record96B vectors or byte vectors with given timestamps) and then its end-of-file
// Integer64 event, and a sink that keeps a copy of everything it receives. Both are threaded
// components of the test models "TestMuxSource" and "TestMuxSink", run by the shared test host.
//
// Thread: tests configure a source before starting it; a sink's copies are read under its lock
//   while it runs.

#include "pcap_stream/vant_pcap_stream.h"
#include "runtime/vant_component.h"
#include "support/host_fixture.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace MuxTest {

inline constexpr const char* kSourceModel = "TestMuxSource";
inline constexpr const char* kSinkModel = "TestMuxSink";

/// One capture packet.
struct Packet {
  uint64_t sec = 0;
  uint64_t usec = 0;
  std::string bytes;
  uint32_t len2 = 0;

  int64_t Timestamp() const { return static_cast<int64_t>(sec * 1000000 + usec); }
  bool operator==(const Packet&) const = default;
};

/// One element a source publishes.
struct Item {
  int64_t timestamp = 0;       // element timestamp (0: the first packet's or record's)
  std::vector<Packet> packets; // PCAP sources
  uint32_t linkType = 1;
  uint16_t headerSize = 24;
  std::optional<uint16_t> packetCount; // replaces the real count (damaged payloads)
  int64_t dataSizeDelta = 0;           // added to the real data size (damaged payloads)
  std::vector<int64_t> records;        // Record96B sources: one record per timestamp
  std::string bytes;                   // byte sources
};

enum class Kind { Pcap, Records, Bytes };

/// The 96-byte record a source writes for (source tag, sequence, timestamp).
std::string MakeRecord(uint32_t tag, uint32_t sequence, int64_t timestamp);
void WriteRecord(uint8_t* out, uint32_t tag, uint32_t sequence, int64_t timestamp);

} // namespace MuxTest

class TestMuxSource : public VANTComponent {
public:
  TestMuxSource(const char* name, VANTComponentModelDefinition* record);
  ~TestMuxSource() override;

  /// Sets what the next run publishes and types the data output. The end-of-file event carries
  /// (eofTimestamp, eofValue); without sendEof nothing is sent after the data.
  void Configure(MuxTest::Kind kind, std::vector<MuxTest::Item> items, int64_t eofTimestamp,
                 int64_t eofValue = 1, bool sendEof = true);
  /// Allocates PCAP elements of this many bytes at the next start (49 by default); a PCAP header
  /// is only written into elements that hold one.
  void SetPcapElementSize(int32_t size) { m_pcapElementSize = size; }
  /// Publishes the items again and again, each lap lapSpan microseconds later than the one
  /// before, and never ends (0: once).
  void SetRepeat(int64_t lapSpan) { m_lapSpan = lapSpan; }
  /// Publishes only items below limit (the rest waits until the limit rises).
  void SetLimit(int32_t limit) { m_limit.store(limit); }
  /// True once every item of the run and the end-of-file event (when sent) went out.
  bool Done() const { return m_done.load(); }
  int32_t Published() const { return m_published.load(); }

  VANTOutput* Data() { return Output("data"); }
  VANTOutput* EndOfFile() { return Output("eof"); }

  void Birth() override;
  void Cycle() override;

private:
  // Each lap of an endless source publishes its items `shift` microseconds later.
  void PublishPcap(const MuxTest::Item& item, int64_t shift);
  void PublishRecords(const MuxTest::Item& item, int64_t shift);
  void PublishBytes(const MuxTest::Item& item, int64_t shift);

  MuxTest::Kind m_kind = MuxTest::Kind::Pcap;
  std::vector<MuxTest::Item> m_items;
  int64_t m_eofTimestamp = 0;
  int64_t m_eofValue = 1;
  bool m_sendEof = true;
  int32_t m_pcapElementSize = 49;
  int64_t m_lapSpan = 0;
  int64_t m_lap = 0;
  size_t m_next = 0;
  bool m_eofSent = false;
  std::atomic<int32_t> m_limit{INT32_MAX};
  std::atomic<bool> m_done{false};
  std::atomic<int32_t> m_published{0};
  // Packet data and offsets of the published PCAP elements: they must outlive their reading.
  std::vector<std::unique_ptr<std::vector<uint8_t>>> m_storage;
  std::vector<std::unique_ptr<std::vector<uint64_t>>> m_offsets;
  VANTEvent m_idle;
};

/// One element as a sink received it.
struct ReceivedElement {
  uint64_t flags = 0;
  std::string name1;
  int64_t timestamp = 0;
  int64_t timeOfIssue = 0;
  int32_t vectorSize = 0;
  // PCAP elements
  bool pcap = false;
  uint32_t linkType = 0;
  uint16_t headerSize = 0;
  std::vector<MuxTest::Packet> packets;
  bool offsetsMatch = true; // packetOffsets[k] is where packet k's header starts
  // Other elements: the bytes in use (records: vectorSize x 96), or the Integer64 value.
  std::string bytes;
  int64_t value = 0;
};

class TestMuxSink : public VANTComponent {
public:
  TestMuxSink(const char* name, VANTComponentModelDefinition* record);

  VANTInput* In() { return Input("in"); }

  /// A copy of what arrived so far.
  std::vector<ReceivedElement> Received();
  /// Waits (real time) until at least count elements arrived.
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Clear();

  /// Makes the sink slow: it sleeps this long before each read.
  void SetDelay(std::chrono::microseconds delay) { m_delay.store(delay.count()); }
  /// Keeps no copy, only counts elements and the packets or records in them.
  void CountOnly() { m_countOnly.store(true); }
  int64_t Elements() const { return m_elements.load(); }
  int64_t Items() const { return m_items.load(); }
  void Cycle() override;

private:
  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<ReceivedElement> m_received;
  std::atomic<int64_t> m_delay{0}; // microseconds
  std::atomic<bool> m_countOnly{false};
  std::atomic<int64_t> m_elements{0};
  std::atomic<int64_t> m_items{0};
};

namespace MuxTest {
/// VANTGetModulesDefStruct of the test models.
int32_t Models(const char* groupName, void** out, int32_t maxCount);
} // namespace MuxTest

/// The shared test host with the test models; components made here are stopped and destroyed
/// at the end of each test (sources, multiplexers, then sinks).
class MuxFixture : public HostFixture {
protected:
  void SetUp() override;
  void TearDown() override;

  TestMuxSource* MakeSource(const char* name);
  TestMuxSink* MakeSink(const char* name);
  VANTComponent* MakeMux(const char* name, int64_t nbInputs);
  void SetInteger(const std::string& fullName, int64_t value);
  bool Connect(VANTOutput* output, VANTInput* input);
  /// Connects source i to inputs input_i and iEndOfFile_i of mux.
  void ConnectSource(TestMuxSource* source, VANTComponent* mux, int index);
  /// Connects the mux's two outputs to two new sinks named <mux>_data and <mux>_eof.
  std::pair<TestMuxSink*, TestMuxSink*> SinksFor(VANTComponent* mux);
  bool Start(VANTModule* module);
  /// Starts the sinks, then the sources (waiting until each has published what its FIFO
  /// takes), then the multiplexers, then what is left.
  void StartAll(const std::vector<TestMuxSink*>& sinks, const std::vector<TestMuxSource*>& sources,
                const std::vector<VANTComponent*>& muxes);
  /// Waits until the module announced the dead bit.
  bool WaitDead(VANTModule* module, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  /// Reports received so far are moved into m_seen; texts of level `level` (-1: any).
  std::vector<std::string> Texts(int level = -1);

  std::vector<HostReport> m_seen;
  std::vector<TestMuxSource*> m_sources;
  std::vector<VANTComponent*> m_muxes;
  std::vector<TestMuxSink*> m_sinks;
};
