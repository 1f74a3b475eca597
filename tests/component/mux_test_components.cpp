#include "mux_test_components.h"

#include "dataflow/vant_data_type.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "pcap_component/vant_pcap_component.h"
#include "runtime/vant_property.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace MuxTest {

void WriteRecord(uint8_t* out, uint32_t tag, uint32_t sequence, int64_t timestamp) {
  std::memcpy(out, &tag, 4);
  std::memcpy(out + 4, &sequence, 4);
  std::memcpy(out + 8, &timestamp, 8);
  for (size_t b = 16; b < 96; ++b) {
    out[b] = static_cast<uint8_t>((tag * 31 + sequence * 7 + b) & 0xFF);
  }
}

std::string MakeRecord(uint32_t tag, uint32_t sequence, int64_t timestamp) {
  std::string record(96, '\0');
  WriteRecord(reinterpret_cast<uint8_t*>(record.data()), tag, sequence, timestamp);
  return record;
}

namespace {

// Accepts every type, names unchecked.
const VANTDataTypeFilter kAnything(0, 0, ~uint64_t{0}, nullptr, nullptr);

VANTOutputDefinition g_sourceOutputs[] = {
    {"data", 0, 0, VANTDataTypeDef{VANT::TypeCode::UnsignedInteger8, "", ""}, 0, 16, 1, 1},
    {"eof", 0, 0, VANTDataTypeDef{VANT::TypeCode::Integer64, "", ""}, 1, 16, 1, 1},
    {nullptr, 0, 0, VANTDataTypeDef{0, nullptr, nullptr}, 0, 0, 0, 0},
};
VANTInputDefinition g_sinkInputs[] = {
    {"in", 0, 0, &kAnything, 1, 1},
    {nullptr, 0, 0, nullptr, 0, 0},
};

VANTModule* MakeSourceComponent(const char* name, VANTComponentModelDefinition* record) {
  return new TestMuxSource(name, record);
}
VANTModule* MakeSinkComponent(const char* name, VANTComponentModelDefinition* record) {
  return new TestMuxSink(name, record);
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
  VANTComponentModelDefinition record = Record(kSourceModel, &MakeSourceComponent);
  record.outputs = g_sourceOutputs;
  return record;
}();
VANTComponentModelDefinition g_sinkRecord = [] {
  VANTComponentModelDefinition record = Record(kSinkModel, &MakeSinkComponent);
  record.inputs = g_sinkInputs;
  return record;
}();

} // namespace

int32_t Models(const char* groupName, void** out, int32_t maxCount) {
  if (groupName != nullptr) {
    return out == nullptr ? -1 : 0;
  }
  if (out == nullptr) {
    return 2;
  }
  int32_t written = 0;
  if (maxCount > 0) {
    out[written++] = &g_sourceRecord;
  }
  if (maxCount > 1) {
    out[written++] = &g_sinkRecord;
  }
  return written;
}

} // namespace MuxTest

// ---- Source -----------------------------------------------------------------------------------

TestMuxSource::TestMuxSource(const char* name, VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {}

TestMuxSource::~TestMuxSource() = default;

void TestMuxSource::Configure(MuxTest::Kind kind, std::vector<MuxTest::Item> items,
                              int64_t eofTimestamp, int64_t eofValue, bool sendEof) {
  m_kind = kind;
  m_items = std::move(items);
  m_eofTimestamp = eofTimestamp;
  m_eofValue = eofValue;
  m_sendEof = sendEof;
  // Reset here too, not only at Birth: a test that restarts the source waits on these before
  // the source's thread has run its Birth.
  m_done.store(false);
  m_published.store(0);
  VANTOutput* data = Data();
  switch (kind) {
  case MuxTest::Kind::Pcap:
    data->SetTypeFlags(VANT::TypeCode::PcapStream);
    data->SetStructureName(VANT::kPcapStructureName);
    break;
  case MuxTest::Kind::Records:
    data->SetTypeFlags(VANT::TypeCode::Record96B | VANT::VectorFlag);
    data->SetStructureName("");
    break;
  case MuxTest::Kind::Bytes:
    data->SetTypeFlags(VANT::TypeCode::UnsignedInteger8 | VANT::VectorFlag);
    data->SetStructureName("");
    break;
  }
}

void TestMuxSource::Birth() {
  m_next = 0;
  m_lap = 0;
  m_eofSent = false;
  m_done.store(false);
  m_published.store(0);
  switch (m_kind) {
  case MuxTest::Kind::Pcap:
    Data()->AllocOutputBuffer(m_pcapElementSize, 1);
    break;
  case MuxTest::Kind::Records:
    Data()->AllocOutputBuffer(256, 1);
    break;
  case MuxTest::Kind::Bytes:
    Data()->AllocOutputBuffer(64, 1);
    break;
  }
}

void TestMuxSource::Cycle() {
  if (m_lapSpan != 0 && m_next == m_items.size() && !m_items.empty()) {
    m_next = 0;
    ++m_lap;
  }
  if (m_next < m_items.size() && static_cast<int64_t>(m_next) < m_limit.load()) {
    const MuxTest::Item& item = m_items[m_next];
    const int64_t shift = m_lap * m_lapSpan;
    switch (m_kind) {
    case MuxTest::Kind::Pcap:
      PublishPcap(item, shift);
      break;
    case MuxTest::Kind::Records:
      PublishRecords(item, shift);
      break;
    case MuxTest::Kind::Bytes:
      PublishBytes(item, shift);
      break;
    }
    ++m_next;
    m_published.fetch_add(1);
    return;
  }
  if (m_next == m_items.size() && !m_eofSent) {
    m_eofSent = true;
    if (m_sendEof) {
      VANTIOElt* element = StartWriting(EndOfFile());
      if (element != nullptr) {
        element->Integer64(0) = m_eofValue;
        element->Timestamp() = m_eofTimestamp;
        StopWriting(element);
      }
    }
    m_done.store(true);
    return;
  }
  Wait4Event(&m_idle, 2000);
}

void TestMuxSource::PublishPcap(const MuxTest::Item& item, int64_t shift) {
  // Endless sources reuse the storage of an element read long ago (the FIFO holds 16).
  const bool reuse = m_lapSpan != 0 && m_storage.size() >= 64;
  if (!reuse) {
    m_storage.push_back(std::make_unique<std::vector<uint8_t>>());
    m_offsets.push_back(std::make_unique<std::vector<uint64_t>>());
  }
  const size_t slot =
      reuse ? static_cast<size_t>(m_published.load()) % m_storage.size() : m_storage.size() - 1;
  std::vector<uint8_t>& bytes = *m_storage[slot];
  std::vector<uint64_t>& offsets = *m_offsets[slot];
  bytes.clear();
  offsets.clear();
  for (const MuxTest::Packet& packet : item.packets) {
    offsets.push_back(bytes.size());
    const int64_t t = packet.Timestamp() + shift;
    const VANTPcapPacketHeader header{static_cast<uint32_t>(packet.bytes.size()), packet.len2,
                                      static_cast<uint64_t>(t / 1000000),
                                      static_cast<uint64_t>(t % 1000000)};
    const size_t at = bytes.size();
    bytes.resize(at + item.headerSize + packet.bytes.size(), 0xAB);
    std::memcpy(bytes.data() + at, &header, sizeof(header));
    std::memcpy(bytes.data() + at + item.headerSize, packet.bytes.data(), packet.bytes.size());
  }
  VANTpcap_data_t header{};
  header.tag = 1;
  header.linkType = item.linkType;
  header.packetCount = item.packetCount.value_or(static_cast<uint16_t>(item.packets.size()));
  header.packetOffsets = offsets.empty() ? nullptr : offsets.data();
  header.headerSize = item.headerSize;
  header.dataSize = static_cast<uint64_t>(static_cast<int64_t>(bytes.size()) + item.dataSizeDelta);
  header.data = bytes.empty() ? nullptr : bytes.data();

  VANTIOElt* element = StartWriting(Data());
  if (element == nullptr) {
    return;
  }
  if (element->BufferSize() >= VANT::kPcapElementSize) {
    VANT::StorePcapElement(element->Data(), header);
  }
  element->VectorSize() = std::min(VANT::kPcapElementSize, element->BufferSize());
  element->Timestamp() = item.timestamp != 0    ? item.timestamp + shift
                         : item.packets.empty() ? 1
                                                : item.packets.front().Timestamp() + shift;
  StopWriting(element);
}

void TestMuxSource::PublishRecords(const MuxTest::Item& item, int64_t shift) {
  VANTIOElt* element = StartWriting(Data());
  if (element == nullptr) {
    return;
  }
  auto* out = static_cast<uint8_t*>(element->Data());
  const uint32_t tag = static_cast<uint32_t>(std::hash<std::string>{}(Name()) & 0xFFFF);
  for (size_t r = 0; r < item.records.size(); ++r) {
    MuxTest::WriteRecord(out + 96 * r, tag, static_cast<uint32_t>(m_next * 1000 + r),
                         item.records[r] + shift);
  }
  element->VectorSize() = static_cast<int32_t>(item.records.size());
  element->Timestamp() = item.timestamp != 0    ? item.timestamp + shift
                         : item.records.empty() ? 1
                                                : item.records.front() + shift;
  StopWriting(element);
}

void TestMuxSource::PublishBytes(const MuxTest::Item& item, int64_t shift) {
  VANTIOElt* element = StartWriting(Data());
  if (element == nullptr) {
    return;
  }
  std::memcpy(element->Data(), item.bytes.data(), item.bytes.size());
  element->VectorSize() = static_cast<int32_t>(item.bytes.size());
  element->Timestamp() = item.timestamp + shift;
  StopWriting(element);
}

// ---- Sink -------------------------------------------------------------------------------------

TestMuxSink::TestMuxSink(const char* name, VANTComponentModelDefinition* record)
    : VANTComponent(name, record) {}

void TestMuxSink::Cycle() {
  if (const int64_t delay = m_delay.load(); delay > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
  }
  VANTInput* in = In();
  VANTIOElt* element = StartReading(in);
  if (element == nullptr) {
    return;
  }
  if (m_countOnly.load()) {
    int64_t items = element->VectorSize();
    if (element->VectorSize() == VANT::kPcapElementSize && element->Data() != nullptr &&
        element->Type().name1 != nullptr &&
        std::string(element->Type().name1) == VANT::kPcapStructureName) {
      items = VANT::LoadPcapElement(element->Data()).packetCount;
    }
    StopReading(in);
    m_items.fetch_add(items);
    m_elements.fetch_add(1);
    m_arrived.notify_all();
    return;
  }
  ReceivedElement copy;
  VANTDataType& type = element->Type();
  copy.flags = type.flags;
  copy.name1 = type.name1 != nullptr ? type.name1 : "";
  copy.timestamp = element->Timestamp();
  copy.timeOfIssue = element->TimeOfIssue();
  copy.vectorSize = element->VectorSize();
  if (copy.name1 == VANT::kPcapStructureName && element->Data() != nullptr) {
    copy.pcap = true;
    const VANTpcap_data_t header = VANT::LoadPcapElement(element->Data());
    copy.linkType = header.linkType;
    copy.headerSize = header.headerSize;
    size_t k = 0;
    VANT::ForEachPcapPacket(
        header,
        [&](const uint8_t* at, const uint8_t* data, uint32_t inclLen) {
          const VANTPcapPacketHeader h = VANT::LoadPcapHeader(at);
          uint64_t offset = 0;
          if (header.packetOffsets == nullptr) {
            copy.offsetsMatch = false;
          } else {
            std::memcpy(&offset, reinterpret_cast<const uint8_t*>(header.packetOffsets) + 8 * k, 8);
            copy.offsetsMatch =
                copy.offsetsMatch && offset == static_cast<uint64_t>(at - header.data);
          }
          copy.packets.push_back(
              MuxTest::Packet{h.tsSec, h.tsUsec,
                              std::string(reinterpret_cast<const char*>(data), inclLen), h.len2});
          ++k;
        },
        [&](const char*) { copy.offsetsMatch = false; });
  } else if ((type.flags & VANT::TypeCode::Integer64) != 0 &&
             (type.flags & 0xFFFFFFFFu) == VANT::TypeCode::Integer64) {
    copy.value = element->Integer64(0);
  } else if (element->Data() != nullptr) {
    const uint32_t used = element->UsedDataSize();
    if (used != VANT::kIOEltFailure) {
      copy.bytes.assign(static_cast<const char*>(element->Data()), used);
    }
  }
  StopReading(in);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.push_back(std::move(copy));
  }
  m_arrived.notify_all();
}

std::vector<ReceivedElement> TestMuxSink::Received() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received;
}

bool TestMuxSink::WaitFor(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_arrived.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
}

void TestMuxSink::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_received.clear();
}

// ---- Fixture ----------------------------------------------------------------------------------

void MuxFixture::SetUp() {
  HostFixture::SetUp();
  std::string error;
  if (host().Model(MuxTest::kSourceModel) == nullptr) {
    ASSERT_TRUE(host().AddModels(&MuxTest::Models, &error)) << error;
  }
  m_seen.clear();
}

void MuxFixture::TearDown() {
  for (TestMuxSource* source : m_sources) {
    host().StopComponent(source);
  }
  for (VANTComponent* mux : m_muxes) {
    host().StopComponent(mux);
  }
  for (TestMuxSink* sink : m_sinks) {
    host().StopComponent(sink);
  }
  for (TestMuxSource* source : m_sources) {
    host().DestroyComponent(source);
  }
  for (VANTComponent* mux : m_muxes) {
    host().DestroyComponent(mux);
  }
  for (TestMuxSink* sink : m_sinks) {
    host().DestroyComponent(sink);
  }
  m_sources.clear();
  m_muxes.clear();
  m_sinks.clear();
}

TestMuxSource* MuxFixture::MakeSource(const char* name) {
  auto* source = dynamic_cast<TestMuxSource*>(host().CreateComponent(MuxTest::kSourceModel, name));
  EXPECT_NE(source, nullptr) << name;
  if (source != nullptr) {
    m_sources.push_back(source);
  }
  return source;
}

TestMuxSink* MuxFixture::MakeSink(const char* name) {
  auto* sink = dynamic_cast<TestMuxSink*>(host().CreateComponent(MuxTest::kSinkModel, name));
  EXPECT_NE(sink, nullptr) << name;
  if (sink != nullptr) {
    m_sinks.push_back(sink);
  }
  return sink;
}

VANTComponent* MuxFixture::MakeMux(const char* name, int64_t nbInputs) {
  auto* mux = dynamic_cast<VANTComponent*>(host().CreateComponent("SortingMultiplexer", name));
  EXPECT_NE(mux, nullptr) << name;
  if (mux != nullptr) {
    m_muxes.push_back(mux);
    SetInteger(std::string(name) + ".nb_inputs", nbInputs);
  }
  return mux;
}

void MuxFixture::SetInteger(const std::string& fullName, int64_t value) {
  VANTProperty* property = host().FindProperty(fullName.c_str());
  ASSERT_NE(property, nullptr) << fullName;
  property->SetInteger(value);
}

bool MuxFixture::Connect(VANTOutput* output, VANTInput* input) {
  const bool connected = host().Connect(output, input);
  EXPECT_TRUE(connected);
  return connected;
}

void MuxFixture::ConnectSource(TestMuxSource* source, VANTComponent* mux, int index) {
  const std::string i = std::to_string(index);
  Connect(source->Data(), mux->Input(("input_" + i).c_str()));
  Connect(source->EndOfFile(), mux->Input(("iEndOfFile_" + i).c_str()));
}

std::pair<TestMuxSink*, TestMuxSink*> MuxFixture::SinksFor(VANTComponent* mux) {
  const std::string name = mux->Name();
  TestMuxSink* data = MakeSink((name + "_data").c_str());
  TestMuxSink* eof = MakeSink((name + "_eof").c_str());
  Connect(mux->Output("output"), data->In());
  Connect(mux->Output("end_of_file"), eof->In());
  return {data, eof};
}

bool MuxFixture::Start(VANTModule* module) {
  const bool started = host().StartComponent(module);
  EXPECT_TRUE(started) << module->Name();
  return started;
}

void MuxFixture::StartAll(const std::vector<TestMuxSink*>& sinks,
                          const std::vector<TestMuxSource*>& sources,
                          const std::vector<VANTComponent*>& muxes) {
  for (TestMuxSink* sink : sinks) {
    Start(sink);
  }
  for (VANTComponent* mux : muxes) {
    host().RunDynamic(mux); // the engine re-declares after connections change
  }
  for (TestMuxSource* source : sources) {
    Start(source);
  }
  // Everything a FIFO takes is published before the merge begins, so that the merge order does
  // not depend on thread timing.
  for (TestMuxSource* source : sources) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!source->Done() && source->Published() < 15 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The end-of-file event follows the last item at once.
    if (source->Published() < 15) {
      while (!source->Done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  for (VANTComponent* mux : muxes) {
    Start(mux);
  }
}

bool MuxFixture::WaitDead(VANTModule* module, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while ((module->State() & VANTModule::kDead) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<std::string> MuxFixture::Texts(int level) {
  for (HostReport& report : host().TakeReports()) {
    m_seen.push_back(std::move(report));
  }
  std::vector<std::string> texts;
  for (const HostReport& report : m_seen) {
    if (level < 0 || report.level == level) {
      texts.push_back(report.text);
    }
  }
  return texts;
}
