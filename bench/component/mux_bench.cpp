// The sorting multiplexer in the host with real threads: k sources (2, 4, 16 and 64) publish
// in-memory PCAP elements of packets of 64 to 1500 bytes with interleaved timestamps (256
// packets per element, 4096 / k beyond 16 sources, as corvex-merge sends them), the multiplexer
// merges them (vector_max_size 256) and a sink counts what comes out. Printed next to a plain
// k-way merge of the same packets with the same two copies (each element into a buffer of its
// source, each packet from there into the output; std::priority_queue, no runtime), measured in
// the same run, and their ratio. Also: the CPU time an idle multiplexer (inputs connected, no
// data) uses per second of wall time, and the latency from a source's StopWriting to the
// multiplexer's output with buffer_packet_count 0.
//
// Usage: mux_bench [packets per run, default 2048000] [runs per source count, default 3]

#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "host/host.h"
#include "package/vant_package_entry.h"
#include "pcap_component/vant_pcap_component.h"
#include "runtime/vant_component.h"
#include "runtime/vant_property.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <queue>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRing = 17; // one more than the FIFO: the buffer reused is always read already

// Packets per element for k sources: what corvex-merge's players send.
int PacketsPerElement(int sources) {
  return sources > 16 ? 4096 / sources : 256;
}

// Packet sizes 64..1500, deterministic per (source, index).
uint32_t PacketSize(int source, int64_t index) {
  return 64 + static_cast<uint32_t>((index * 7919 + source * 104729) % (1500 - 64 + 1));
}
// Interleaved timestamps: packet g of source s out of k at kg + s microseconds (plus an origin).
int64_t PacketTime(int sources, int source, int64_t index) {
  return 1000000000 + index * sources + source;
}

std::atomic<int64_t> g_latencyStart{0}; // Clock nanoseconds of the last StopWriting

// ---- Source ---------------------------------------------------------------------------------

class BenchSource : public VANTComponent {
public:
  BenchSource(const char* name, VANTComponentModelDefinition* record)
      : VANTComponent(name, record) {
    Output("data")->SetTypeFlags(VANT::TypeCode::PcapStream);
    Output("data")->SetStructureName(VANT::kPcapStructureName);
  }

  int source = 0;
  int sources = 1;
  int packetsPerElement = 256;
  int64_t elements = 0;     // elements to publish in throughput mode
  bool latencyMode = false; // publish one one-packet element per trigger
  std::atomic<int64_t> triggers{0};

  void Birth() override {
    Output("data")->AllocOutputBuffer(VANT::kPcapElementSize, 1);
    m_next = 0;
    m_done = false;
    m_ring.assign(kRing, {});
    m_offsets.assign(kRing, {});
    for (int r = 0; r < kRing; ++r) {
      std::vector<uint8_t>& bytes = m_ring[r];
      for (int k = 0; k < (latencyMode ? 1 : packetsPerElement); ++k) {
        const uint32_t size = latencyMode ? 64 : PacketSize(source, r * packetsPerElement + k);
        m_offsets[r].push_back(bytes.size());
        const size_t at = bytes.size();
        bytes.resize(at + 24 + size, static_cast<uint8_t>(k));
        const VANTPcapPacketHeader header{size, size, 0, 0};
        std::memcpy(bytes.data() + at, &header, sizeof(header));
      }
    }
  }

  void Cycle() override {
    if (latencyMode) {
      if (m_next >= triggers.load(std::memory_order_acquire)) {
        Rest(50);
        return;
      }
      Publish(PacketTime(sources, source, m_next), 1);
      ++m_next;
      return;
    }
    if (m_next < elements) {
      Publish(0, packetsPerElement);
      ++m_next;
      return;
    }
    if (!m_done) {
      m_done = true;
      VANTIOElt* element = StartWriting(Output("eof"));
      element->Integer64(0) = 1;
      element->Timestamp() = PacketTime(sources, source, elements * packetsPerElement);
      StopWriting(element);
    }
    Wait4Event(&m_never, -1);
  }

private:
  void Publish(int64_t latencyTime, int packets) {
    const int r = static_cast<int>(m_next % kRing);
    std::vector<uint8_t>& bytes = m_ring[r];
    for (int k = 0; k < packets; ++k) {
      const int64_t t = latencyTime != 0
                            ? latencyTime
                            : PacketTime(sources, source, m_next * packetsPerElement + k);
      const uint64_t sec = static_cast<uint64_t>(t / 1000000);
      const uint64_t usec = static_cast<uint64_t>(t % 1000000);
      std::memcpy(bytes.data() + m_offsets[r][k] + 8, &sec, 8);
      std::memcpy(bytes.data() + m_offsets[r][k] + 16, &usec, 8);
    }
    VANTpcap_data_t header{};
    header.tag = 1;
    header.linkType = 1;
    header.packetCount = static_cast<uint16_t>(packets);
    header.packetOffsets = m_offsets[r].data();
    header.headerSize = 24;
    header.dataSize = packets == 1 ? 24 + 64 : bytes.size();
    header.data = bytes.data();
    VANTIOElt* element = StartWriting(Output("data"));
    VANT::StorePcapElement(element->Data(), header);
    element->VectorSize() = VANT::kPcapElementSize;
    element->Timestamp() =
        latencyTime != 0 ? latencyTime : PacketTime(sources, source, m_next * packetsPerElement);
    if (latencyMode) {
      g_latencyStart.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    }
    StopWriting(element);
  }

  int64_t m_next = 0;
  bool m_done = false;
  std::vector<std::vector<uint8_t>> m_ring;
  std::vector<std::vector<uint64_t>> m_offsets;
  VANTEvent m_never;
};

// ---- Sink -----------------------------------------------------------------------------------

class BenchSink : public VANTComponent {
public:
  BenchSink(const char* name, VANTComponentModelDefinition* record) : VANTComponent(name, record) {}

  std::atomic<int64_t> packets{0};
  std::atomic<int64_t> bytes{0};
  std::atomic<int64_t> elements{0};
  std::atomic<int64_t> lastLatencyNs{-1};

  void Cycle() override {
    VANTInput* in = Input("in");
    VANTIOElt* element = StartReading(in);
    if (element == nullptr) {
      return;
    }
    const int64_t now = Clock::now().time_since_epoch().count();
    if (element->Data() != nullptr && element->VectorSize() == VANT::kPcapElementSize) {
      const VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
      packets.fetch_add(header.packetCount, std::memory_order_relaxed);
      bytes.fetch_add(static_cast<int64_t>(header.dataSize), std::memory_order_relaxed);
    }
    lastLatencyNs.store(now - g_latencyStart.load(std::memory_order_acquire),
                        std::memory_order_release);
    StopReading(in);
    elements.fetch_add(1, std::memory_order_release);
  }
};

const VANTDataTypeFilter kAnything(0, 0, ~uint64_t{0}, nullptr, nullptr);
VANTOutputDefinition g_sourceOutputs[] = {
    {"data", 0, 0, VANTDataTypeDef{VANT::TypeCode::PcapStream, "VANTpcap_data_t", ""}, 0, 16, 1, 1},
    {"eof", 0, 0, VANTDataTypeDef{VANT::TypeCode::Integer64, "", ""}, 1, 16, 1, 1},
    {nullptr, 0, 0, VANTDataTypeDef{0, nullptr, nullptr}, 0, 0, 0, 0},
};
VANTInputDefinition g_sinkInputs[] = {{"in", 0, 0, &kAnything, 1, 1},
                                      {nullptr, 0, 0, nullptr, 0, 0}};

VANTModule* MakeSource(const char* name, VANTComponentModelDefinition* record) {
  return new BenchSource(name, record);
}
VANTModule* MakeSink(const char* name, VANTComponentModelDefinition* record) {
  return new BenchSink(name, record);
}

VANTComponentModelDefinition Record(const char* model, VANTComponentFactory factory) {
  VANTComponentModelDefinition record{};
  record.modelName = model;
  record.version = "1.0.0";
  record.factory = factory;
  record.inputCount = record.outputCount = record.propertyCount = record.actionCount =
      VANT::kUncountedEntries;
  record.priority = 128;
  record.threadingModels = VANT::kThreadedModel;
  record.threadedByDefault = 1;
  return record;
}
VANTComponentModelDefinition g_sourceRecord = [] {
  VANTComponentModelDefinition record = Record("BenchSource", &MakeSource);
  record.outputs = g_sourceOutputs;
  return record;
}();
VANTComponentModelDefinition g_sinkRecord = [] {
  VANTComponentModelDefinition record = Record("BenchSink", &MakeSink);
  record.inputs = g_sinkInputs;
  return record;
}();

int32_t BenchModels(const char* group, void** out, int32_t maxCount) {
  if (group != nullptr) {
    return out == nullptr ? -1 : 0;
  }
  if (out == nullptr) {
    return 2;
  }
  int32_t n = 0;
  if (maxCount > 0) {
    out[n++] = &g_sourceRecord;
  }
  if (maxCount > 1) {
    out[n++] = &g_sinkRecord;
  }
  return n;
}

// ---- Set-up ---------------------------------------------------------------------------------

struct Graph {
  VANTComponent* mux = nullptr;
  std::vector<BenchSource*> sources;
  BenchSink* data = nullptr;
  BenchSink* eof = nullptr;
};

void SetInteger(Host& host, const std::string& name, int64_t value) {
  host.FindProperty(name.c_str())->SetInteger(value);
}

Graph Build(Host& host, const std::string& prefix, int sources, int64_t elements, bool latencyMode,
            int64_t bufferCount) {
  Graph g;
  const std::string muxName = prefix + "mux";
  g.mux = dynamic_cast<VANTComponent*>(host.CreateComponent("SortingMultiplexer", muxName.c_str()));
  SetInteger(host, muxName + ".nb_inputs", sources);
  SetInteger(host, muxName + ".buffer_packet_count", bufferCount);
  SetInteger(host, muxName + ".vector_max_size", 256);
  SetInteger(host, muxName + ".vector_max_latency", 1000000000);
  SetInteger(host, muxName + ".flush_delay", 0);
  for (int s = 0; s < sources; ++s) {
    const std::string name = prefix + "src" + std::to_string(s);
    auto* source = dynamic_cast<BenchSource*>(host.CreateComponent("BenchSource", name.c_str()));
    if (source == nullptr) {
      std::fprintf(stderr, "no bench source\n");
      std::exit(1);
    }
    source->source = s;
    source->sources = sources;
    source->packetsPerElement = PacketsPerElement(sources);
    source->elements = elements;
    source->latencyMode = latencyMode;
    host.Connect(source->Output("data"), g.mux->Input(("input_" + std::to_string(s)).c_str()));
    host.Connect(source->Output("eof"), g.mux->Input(("iEndOfFile_" + std::to_string(s)).c_str()));
    g.sources.push_back(source);
  }
  g.data = dynamic_cast<BenchSink*>(host.CreateComponent("BenchSink", (prefix + "data").c_str()));
  g.eof = dynamic_cast<BenchSink*>(host.CreateComponent("BenchSink", (prefix + "eof").c_str()));
  host.Connect(g.mux->Output("output"), g.data->Input("in"));
  host.Connect(g.mux->Output("end_of_file"), g.eof->Input("in"));
  host.RunDynamic(g.mux);
  return g;
}

void StartGraph(Host& host, Graph& g) {
  host.StartComponent(g.data);
  host.StartComponent(g.eof);
  host.StartComponent(g.mux);
  for (BenchSource* source : g.sources) {
    host.StartComponent(source);
  }
}

void StopGraph(Host& host, Graph& g) {
  for (BenchSource* source : g.sources) {
    host.StopComponent(source);
  }
  host.StopComponent(g.mux);
  host.StopComponent(g.data);
  host.StopComponent(g.eof);
  for (BenchSource* source : g.sources) {
    host.DestroyComponent(source);
  }
  host.DestroyComponent(g.mux);
  host.DestroyComponent(g.data);
  host.DestroyComponent(g.eof);
}

// CPU time of one thread of this process in nanoseconds (/proc schedstat: time on the CPU).
int64_t ThreadCpuNs(int64_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  int64_t ns = -1;
  in >> ns;
  return ns;
}

// ---- The baseline: a plain k-way merge of the same packets ---------------------------------

struct Baseline {
  double seconds = 0;
  int64_t packets = 0;
  int64_t bytes = 0;
};

Baseline PlainMerge(int sources, int64_t elements) {
  // The same packets, held the way the sources hold them: per source a ring of 17 element
  // buffers of (header, data) records; the timestamps follow from (source, index).
  const int perElement = PacketsPerElement(sources);
  struct Ring {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<std::vector<uint64_t>> offsets;
  };
  std::vector<Ring> rings(static_cast<size_t>(sources));
  for (int s = 0; s < sources; ++s) {
    Ring& ring = rings[static_cast<size_t>(s)];
    ring.bytes.resize(kRing);
    ring.offsets.resize(kRing);
    for (int r = 0; r < kRing; ++r) {
      for (int k = 0; k < perElement; ++k) {
        const uint32_t size = PacketSize(s, r * perElement + k);
        std::vector<uint8_t>& bytes = ring.bytes[static_cast<size_t>(r)];
        ring.offsets[static_cast<size_t>(r)].push_back(bytes.size());
        const size_t at = bytes.size();
        bytes.resize(at + 24 + size, static_cast<uint8_t>(k));
        const VANTPcapPacketHeader header{size, size, 0, 0};
        std::memcpy(bytes.data() + at, &header, sizeof(header));
      }
    }
  }
  // The first copy: each source's current element copied whole into a buffer of its own, as the
  // multiplexer's queue takes an element; the second: each packet from there into the output.
  struct Head {
    int64_t t;
    int source;
    int64_t index;
    bool operator>(const Head& other) const {
      return t != other.t ? t > other.t : source > other.source;
    }
  };
  std::vector<std::vector<uint8_t>> staged(static_cast<size_t>(sources));
  const int64_t perSource = elements * perElement;
  std::vector<uint8_t> out(1 << 20);
  Baseline result;
  const auto begin = Clock::now();
  const auto stage = [&](int source, int64_t element) {
    const std::vector<uint8_t>& bytes =
        rings[static_cast<size_t>(source)].bytes[static_cast<size_t>(element % kRing)];
    std::vector<uint8_t>& into = staged[static_cast<size_t>(source)];
    into.resize(bytes.size());
    std::memcpy(into.data(), bytes.data(), bytes.size());
  };
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heap;
  for (int s = 0; s < sources; ++s) {
    if (perSource > 0) {
      stage(s, 0);
      heap.push({PacketTime(sources, s, 0), s, 0});
    }
  }
  size_t used = 0;
  uint64_t checksum = 0;
  while (!heap.empty()) {
    const Head head = heap.top();
    heap.pop();
    const int slot = static_cast<int>((head.index / perElement) % kRing);
    const Ring& ring = rings[static_cast<size_t>(head.source)];
    const uint8_t* at = staged[static_cast<size_t>(head.source)].data() +
                        ring.offsets[static_cast<size_t>(slot)][head.index % perElement];
    VANTPcapPacketHeader header = VANT::LoadPcapHeader(at);
    header.tsSec = static_cast<uint64_t>(head.t / 1000000);
    header.tsUsec = static_cast<uint64_t>(head.t % 1000000);
    const size_t n = 24 + header.inclLen;
    if (used + n > out.size()) {
      checksum += out[used / 2];
      used = 0;
    }
    std::memcpy(out.data() + used, &header, sizeof(header));
    std::memcpy(out.data() + used + 24, at + 24, header.inclLen);
    used += n;
    ++result.packets;
    result.bytes += static_cast<int64_t>(n);
    const int64_t next = head.index + 1;
    if (next < perSource) {
      if (next % perElement == 0) {
        stage(head.source, next / perElement);
      }
      heap.push({PacketTime(sources, head.source, next), head.source, next});
    }
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (checksum == 42) {
    std::printf("(checksum)\n");
  }
  return result;
}

} // namespace

int main(int argc, char** argv) {
  const int64_t totalPackets = argc > 1 ? std::atoll(argv[1]) : 2048000;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  auto* host = new Host(); // the package keeps the kernel for the whole process
  if (VANTPckInit(host, 0x804A8) != 4) {
    std::fprintf(stderr, "the package refused the host\n");
    return 1;
  }
  std::string error;
  if (!host->AddModels(&VANTGetModulesDefStruct, &error) ||
      !host->AddModels(&BenchModels, &error)) {
    std::fprintf(stderr, "models: %s\n", error.c_str());
    return 1;
  }

  // 1. Throughput by number of sources, the same packet count each time; each run is followed
  // by the plain merge of the same packets (the machine may be shared: compare within a run).
  for (const int sources : {2, 4, 16, 64}) {
    const int perElement = PacketsPerElement(sources);
    const int64_t elements = std::max<int64_t>(1, totalPackets / sources / perElement);
    const int64_t expected = elements * perElement * sources;
    std::printf("%d sources x %" PRId64 " elements x %d packets (64..1500 bytes):\n", sources,
                elements, perElement);
    double bestRatio = 0;
    for (int run = 0; run < runs; ++run) {
      Graph g = Build(*host, "t" + std::to_string(sources) + "_" + std::to_string(run) + "_",
                      sources, elements, false, 1024);
      const auto begin = Clock::now();
      StartGraph(*host, g);
      // Done when the sink has every packet (the end_of_file event may overtake the last ones).
      while (g.data->packets.load() < expected &&
             Clock::now() - begin < std::chrono::seconds(600)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
      const int64_t packets = g.data->packets.load();
      const int64_t bytes = g.data->bytes.load();
      StopGraph(*host, g);
      host->TakeReports();
      const Baseline plain = PlainMerge(sources, elements);
      const double rate = packets / seconds;
      const double plainRate = plain.packets / plain.seconds;
      std::printf("  run %d: multiplexer %" PRId64 " packets (expected %" PRId64
                  ") in %.3f s: %.0f packets/s, %.1f MB/s; plain k-way merge %.0f packets/s, "
                  "%.1f MB/s; ratio %.3f\n",
                  run, packets, expected, seconds, rate, bytes / seconds / 1e6, plainRate,
                  plain.bytes / plain.seconds / 1e6, rate / plainRate);
      bestRatio = std::max(bestRatio, rate / plainRate);
    }
    std::printf("  best ratio with %d sources: %.3f\n", sources, bestRatio);
  }

  // 2. Idle CPU: inputs connected, no data.
  {
    Graph g = Build(*host, "i_", 1, 0, true, 0);
    StartGraph(*host, g);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int64_t tid = host->FindProperty("i_mux.primaryThreadID")->Integer();
    const int64_t cpu0 = ThreadCpuNs(tid);
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int64_t cpu1 = ThreadCpuNs(tid);
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    std::printf("idle multiplexer: %.3f s of CPU per second of wall time (thread %" PRId64 ")\n",
                (cpu1 - cpu0) / 1e9 / wall, tid);

    // 3. Latency, StopWriting of the source to the multiplexer's output (same graph: one
    // source in latency mode, buffer_packet_count 0): one element every 2 ms (a slow flow: the
    // multiplexer sleeps between them), then one every 30 us after the last came out (a fast
    // flow: it watches for the next one instead).
    BenchSource* source = g.sources[0];
    for (const auto gap : {std::chrono::microseconds(2000), std::chrono::microseconds(30)}) {
      std::vector<double> micros;
      for (int k = 0; k < 300; ++k) {
        const int64_t before = g.data->elements.load(std::memory_order_acquire);
        source->triggers.fetch_add(1, std::memory_order_release);
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (g.data->elements.load(std::memory_order_acquire) == before &&
               Clock::now() < deadline) {
          std::this_thread::yield();
        }
        micros.push_back(g.data->lastLatencyNs.load() / 1000.0);
        const auto next = Clock::now() + gap;
        if (gap >= std::chrono::milliseconds(1)) {
          std::this_thread::sleep_until(next);
        } else {
          while (Clock::now() < next) {
          }
        }
      }
      std::sort(micros.begin(), micros.end());
      std::printf("latency StopWriting -> multiplexer output (buffer_packet_count 0, one element "
                  "every %lld us, %zu runs): median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f "
                  "us\n",
                  static_cast<long long>(gap.count()), micros.size(), micros[micros.size() / 2],
                  micros[micros.size() * 9 / 10], micros[micros.size() * 99 / 100], micros.back());
    }
    StopGraph(*host, g);
    host->TakeReports();
  }
  return 0;
}

#if 0
// Figures of the previous multiplexer (a tree of packets, each in a pool allocation, and an idle
// loop that rested 100 us at a time), with 4 sources only; the current one has yet to be
// measured on a quiet machine.
// mux_bench 2000 on the development machine: 2 vCPUs (AMD EPYC) shared with other builds, load
// average about 7, RelWithDebInfo.
// throughput: 4 sources x 2000 elements x 256 packets (64..1500 bytes)
//   run 0: multiplexer 2048000 packets in 1.036 s: 1976535 packets/s, 1592.9 MB/s;
//          plain k-way merge 19464164 packets/s, 15686.5 MB/s; ratio 0.102
//   run 1: multiplexer 2048000 packets in 1.205 s: 1699563 packets/s, 1369.7 MB/s;
//          plain k-way merge 14621099 packets/s, 11783.4 MB/s; ratio 0.116
//   run 2: multiplexer 2048000 packets in 1.014 s: 2019369 packets/s, 1627.4 MB/s;
//          plain k-way merge 20608870 packets/s, 16609.1 MB/s; ratio 0.098
//   best multiplexer run: 2019369 packets/s (goal: 2000000 packets/s)
// idle multiplexer: 0.377 s of CPU per second of wall time (Rest(100) yields; the other
//   threads of the machine took the rest of the core)
// latency StopWriting -> multiplexer output (buffer_packet_count 0, 300 runs): median 21.9 us,
//   p90 31.7 us, p99 64.7 us, max 2978.2 us
#endif
