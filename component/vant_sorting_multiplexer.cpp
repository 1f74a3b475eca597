// The SortingMultiplexer model, its registration, and the component's life cycle. The merge
// engine (schedule, queues, output vectors, flush) is in vant_sorting_queue.cpp.
#include "component/vant_sorting_multiplexer.h"

#include "dataflow/vant_fast_io.h"
#include "dataflow/vant_input.h"
#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_io_elt.h"
#include "dataflow/vant_output.h"
#include "kernel/vant_kernel.h"
#include "package/vant_module_management.h"
#include "runtime/vant_property.h"
#include "util/vant_string.h"

#include <cstring>
#include <limits>
#include <sched.h>
#include <string>

namespace {

// Before it sleeps, the component watches its wake event for a while: as long as a wake-up
// costs (tens of microseconds) when the recent quiet spells were that short, so that a fast flow
// is served without that delay, and only briefly otherwise, so that a slow flow (hundreds or
// thousands of elements a second) costs a wake-up per element rather than a core spinning
// between them.
constexpr int64_t kShortSpin = 20;  // real microseconds
constexpr int64_t kLongSpin = 100;  // real microseconds, the most a watch lasts
constexpr int64_t kQuietLimit = 50; // recent quiet spells longer than this: the short watch

// ---- The model record
// ----------------------------------------------------------------------------

const VANTPropertyValue kNbInputsDefault{int64_t{1}};
const VANTPropertyValue kBufferPacketCountDefault{int64_t{100}};
const VANTPropertyValue kVectorMaxSizeDefault{int64_t{1}};
const VANTPropertyValue kVectorMaxLatencyDefault{int64_t{100000}};
const VANTPropertyValue kFlushDelayDefault{int64_t{500000}};

VANTInputDefinition g_inputs[] = {{nullptr, 0, 0, nullptr, 0, 0}};

VANTOutputDefinition g_outputs[] = {
    {"end_of_file", 0, 0, VANTDataTypeDef{VANT::TypeCode::Integer64, "", ""}, 1, 16, 1, 1},
    {"output", 0, 0, VANTDataTypeDef{VANT::kAnyTypeWord, "", ""}, 0, 16, 1, 1},
    {nullptr, 0, 0, VANTDataTypeDef{0, nullptr, nullptr}, 0, 0, 0, 0},
};

// name, default, extra, needsInit, modifiableAfterStart, readOnly, fixedEnumValues, stringFlags
VANTPropertyDefinition g_properties[] = {
    {"nb_inputs", &kNbInputsDefault, nullptr, 0, 0, 0, 1, 0},
    {"buffer_packet_count", &kBufferPacketCountDefault, nullptr, 0, 0, 0, 1, 0},
    {"vector_max_size", &kVectorMaxSizeDefault, nullptr, 0, 1, 0, 1, 0},
    {"vector_max_latency", &kVectorMaxLatencyDefault, nullptr, 0, 1, 0, 1, 0},
    {"flush_delay", &kFlushDelayDefault, nullptr, 0, 1, 0, 1, 0},
    {nullptr, nullptr, nullptr, 0, 0, 0, 0, 0},
};

VANTActionDefinition g_actions[] = {{nullptr, nullptr, 0, {}}};

VANTModule* CreateMultiplexer(const char* instanceName, VANTComponentModelDefinition* record) {
  return new vant_sorting_multiplexer(instanceName, record);
}

VANTModuleBase* CreateFromDefinition(const char* instanceName, void* userData) {
  return CreateMultiplexer(instanceName, static_cast<VANTComponentModelDefinition*>(userData));
}

VANTComponentModelDefinition g_record = {
    VANT::kSortingMultiplexerModel,                             // modelName
    "1.4.0",                                                    // version
    &CreateMultiplexer,                                         // factory
    nullptr,                                                    // reserved1
    nullptr,                                                    // reserved2
    0,                                                          // destructionStamp
    VANT::kUncountedEntries,                                    // inputCount
    g_inputs,                                                   // inputs: created by Dynamic() only
    VANT::kUncountedEntries,                                    // outputCount
    0,                                                          //
    g_outputs,                                                  // outputs
    VANT::kUncountedEntries,                                    // propertyCount
    0,                                                          //
    g_properties,                                               // properties
    VANT::kUncountedEntries,                                    // actionCount
    0,                                                          //
    g_actions,                                                  // actions
    128,                                                        // priority
    0,                                                          //
    VANT::kThreadedModel,                                       // threadingModels: threaded only
    1,                                                          // threadedByDefault
    {},                                                         //
    "$!VANT_MODULE!VANTComponent!SortingMultiplexer!$!1.4.0!$", // tag
};

// Registered while the library loads; the registry owns it.
[[maybe_unused]] VANTModuleDefinition* const g_definition = new VANTModuleDefinition(
    "vant_sorting_multiplexer", "VANTComponent", &CreateFromDefinition, &g_record);

std::string IndexedName(const char* prefix, int64_t index) {
  return std::string(prefix) + std::to_string(index);
}

// Same type word and, when both are present, the same name1 bytes.
bool SameType(const VANTDataType& a, const VANTDataType& b) {
  if (a.flags != b.flags) {
    return false;
  }
  if (a.name1 == nullptr || b.name1 == nullptr) {
    return true;
  }
  return std::strcmp(a.name1, b.name1) == 0;
}

} // namespace

namespace VANT {

VANTComponentModelDefinition& SortingMultiplexerRecord() {
  return g_record;
}

} // namespace VANT

// ---- Construction
// ----------------------------------------------------------------------------------

vant_sorting_multiplexer::vant_sorting_multiplexer(const char* name,
                                                   VANTComponentModelDefinition* record)
    : VANTComponent(name, record), VANTpcap_component(name, record) {
  m_output = Output("output");
  m_endOfFileOutput = Output("end_of_file");
  // The properties read while running tell when they change: they are read again only then, and
  // a change of flush_delay wakes the wait for the flush.
  for (const char* property : {"vector_max_size", "vector_max_latency", "flush_delay"}) {
    Property(property)->SetWriteCallback(&ParametersChanged);
  }
}

vant_sorting_multiplexer::~vant_sorting_multiplexer() {
  DisarmInputs(); // nothing may set m_wake once it is gone
}

int64_t vant_sorting_multiplexer::IntegerProperty(VANTProperty*& cache, const char* name) {
  if (cache == nullptr) {
    cache = Property(name);
  }
  return cache->Integer();
}

const vant_sorting_multiplexer::Kind& vant_sorting_multiplexer::KindOf(const VANTDataType& type) {
  if (VANT::PcapStreamFilter().Accepts(type)) {
    return kPcapKind;
  }
  if (VANT::Filter::Record96B.Accepts(type)) {
    return kRecordKind;
  }
  return kOtherKind;
}

bool vant_sorting_multiplexer::Untyped(const VANTDataType& type) {
  return type.flags == VANT::kAnyTypeWord;
}

void vant_sorting_multiplexer::AllocatePcapOutput() {
  m_output->AllocOutputBuffer(VANT::kPcapElementSize, 1);
  AllocatePcapOutputBuffers(m_output);
}

void vant_sorting_multiplexer::AllocateRecordOutput() {
  m_output->AllocOutputBuffer(VANT::kRecordsPerElement, 1);
}

void vant_sorting_multiplexer::DecideKind(VANTIOElt& element) {
  const VANTDataType& type = element.Type();
  if (Untyped(type)) {
    // An element of the any-type word tells neither its kind nor its layout: nothing can copy it.
    Error(VANT::MuxText::kUntyped, 1, 0);
  }
  m_kind = &KindOf(type);
  m_kindPending = false;
  // Every later element must be of this type: the sources were not checked at Birth.
  m_elementType = type;
  m_checkElementTypes = true;
  if (m_kind->vectors) {
    m_output->SetTypeFlags(type.flags);
    m_output->SetStructureName(type.name1);
  }
  (this->*m_kind->allocate)(); // the other kind allocates like its first element (Cycle)
}

bool vant_sorting_multiplexer::InputsConsistent(bool withEndOfFile, VANTDataType* firstType) {
  // Copies: a source's component may retype its output while this one looks at it.
  VANTDataType first;
  if (m_dataInputs.empty() || m_dataInputs[0] == nullptr ||
      !m_dataInputs[0]->CopySourceType(&first)) {
    return false;
  }
  VANTDataType other;
  for (VANTInput* input : m_dataInputs) {
    if (input == nullptr || !input->CopySourceType(&other) || !SameType(first, other)) {
      return false;
    }
  }
  if (withEndOfFile) {
    for (VANTInput* input : m_endOfFileInputs) {
      if (input == nullptr || !input->IsConnected()) {
        return false;
      }
    }
  }
  if (firstType != nullptr) {
    *firstType = std::move(first);
  }
  return true;
}

void vant_sorting_multiplexer::TypeOutput() {
  VANTDataType type;
  if (InputsConsistent(false, &type)) {
    m_output->SetTypeFlags(type.flags);
    m_output->SetStructureName(type.name1);
  } else {
    m_output->SetTypeFlags(VANT::kAnyTypeWord);
    m_output->SetStructureName("");
  }
}

// ---- Life cycle
// ------------------------------------------------------------------------------------

void vant_sorting_multiplexer::Dynamic() {
  m_inputModels.RemoveUnusedThenMark();
  m_outputModels.RemoveUnusedThenMark();

  VANTProperty* nbInputs = Property("nb_inputs");
  m_nbInputs = nbInputs->Integer();
  if (m_nbInputs < 1) {
    Error(VANT::MuxText::kNbInputs, 1, 0);
  }
  const auto count = static_cast<size_t>(m_nbInputs);
  m_endOfFileInputs.resize(count, nullptr);
  m_dataInputs.resize(count, nullptr);
  m_endOfFile.resize(count, {0, 0});

  for (int64_t i = 0; i < m_nbInputs; ++i) {
    const std::string name = IndexedName("iEndOfFile_", i);
    m_endOfFileInputs[static_cast<size_t>(i)] = m_inputModels.DeclareInput(
        *this, name.c_str(), VANT::TypeCode::Integer64, "", VANT::NeverSkippingReader);
  }
  for (int64_t i = 0; i < m_nbInputs; ++i) {
    const std::string name = IndexedName("input_", i);
    m_dataInputs[static_cast<size_t>(i)] = m_inputModels.DeclareInput(
        *this, name.c_str(), VANT::kAnyTypeWord, "", VANT::NeverSkippingReader);
  }

  VANTDataType firstType;
  // A source still typed with the any-type word has not told its type yet.
  if (m_dataInputs[0]->CopySourceType(&firstType) && !Untyped(firstType)) {
    m_kind = &KindOf(firstType);
    Property("vector_max_size")->SetMutable(m_kind->vectors);
    Property("vector_max_latency")->SetMutable(m_kind->vectors);
  }
  TypeOutput();
}

void vant_sorting_multiplexer::Birth() {
  const int64_t bufferPacketCount = Property("buffer_packet_count")->Integer();
  if (bufferPacketCount < 0) {
    Error(VANT::MuxText::kBufferCount, 1, 0);
  }
  // The queue sizes are compared with this count: larger values only mean "never release".
  m_bufferPacketCount = bufferPacketCount > std::numeric_limits<int32_t>::max()
                            ? std::numeric_limits<int32_t>::max()
                            : static_cast<int32_t>(bufferPacketCount);

  VANTDataType type;
  if (!InputsConsistent(true, &type)) {
    Error(VANT::MuxText::kNotConnected, 1, 0);
  }
  // Decided again here: the last Dynamic() may have run before input_0 was connected. A source
  // that is still typed with the any-type word (an upstream multiplexer that has not started
  // yet, say) would pass every kind's test: its kind is taken from the first element read.
  m_kindPending = Untyped(type);
  m_checkElementTypes = false;
  m_kind = m_kindPending ? &kOtherKind : &KindOf(type);
  TypeOutput();
  if (!m_kindPending) {
    (this->*m_kind->allocate)();
  }

  for (auto& entry : m_endOfFile) {
    entry = {0, 0};
  }
  m_schedule.clear();
  for (int64_t i = 0; i < m_nbInputs; ++i) {
    m_schedule.emplace_hint(m_schedule.lower_bound(0), 0, static_cast<uint32_t>(i));
  }
  ResetQueue();
  ArmInputs();
  m_parametersRead = 0; // read them at the first Cycle
  m_quietSpell = 4 * kLongSpin;

  m_outputLinkType = 0;
  m_wrongOrderCount = 0;
  m_lastWrittenTimestamp = std::numeric_limits<int64_t>::min();
  m_maxTimeJump = 0;
  m_firstData = true;
  m_finished = false;
  m_lastEndOfFileIssue = 0;
}

void vant_sorting_multiplexer::Cycle() {
  ReadChangedParams();

  if (m_finished) {
    auto* outputFifo = dynamic_cast<VANTFastIO*>(m_output->Monitor());
    auto* endFifo = dynamic_cast<VANTFastIO*>(m_endOfFileOutput->Monitor());
    if ((outputFifo == nullptr || outputFifo->AllRead()) &&
        (endFifo == nullptr || endFifo->AllRead())) {
      StopFromCycle();
      return;
    }
    Rest(1000);
    return;
  }

  int32_t i = SelectInput();
  if (i == -1) {
    // Look again after resetting the wake event: a sample published from now on sets it, so the
    // wait in Idle cannot miss one that this look did not see.
    m_wake.Reset();
    i = SelectInput();
    if (i == -1) {
      Idle();
      return;
    }
  }

  const auto index = static_cast<size_t>(i);
  VANTInput* pair[2] = {m_endOfFileInputs[index], m_dataInputs[index]};
  int32_t answer = -1;
  VANTIOElt* element = StartReading(2, pair, &answer);
  if (element == nullptr) {
    return;
  }
  if (answer == 1) {
    if (m_kindPending) {
      DecideKind(*element);
      ResetQueue(); // the tie rule follows the kind
    } else if (m_checkElementTypes && !SameType(m_elementType, element->Type())) {
      Error(VANT::MuxText::kNotConnected, 1, 0); // never read an element as another kind
    }
    if (m_firstData && !m_kind->vectors) {
      if (m_output->BytesPerSample() == 0) {
        AllocateOutputLike(m_output, element);
      }
      m_firstData = false;
    }
    ProcessData(element, i);
  } else if (answer == 0) {
    m_endOfFile[index] = {element->Timestamp(), element->Integer64(0)};
    if (element->TimeOfIssue() > m_lastEndOfFileIssue) {
      m_lastEndOfFileIssue = element->TimeOfIssue();
    }
  } else {
    Error(VANT::MuxText::kWentWrong, 1, 0);
  }
  // Everything the element carried has been copied: give it back at once, so that the writer
  // upstream can reuse it and its FIFO drains.
  StopReading(pair[answer]);

  WriteSorted(static_cast<uint64_t>(m_bufferPacketCount), static_cast<uint64_t>(m_vectorMaxSize),
              m_vectorMaxLatency);
}

void vant_sorting_multiplexer::Death() {
  DisarmInputs();
  if (!m_queue.Empty()) { // only the queue of the run's kind ever holds items
    VANTStreamedString text;
    text << static_cast<unsigned long long>(m_queue.Size()) << VANT::MuxText::kLost;
    Report(text.Text(), VANT::kWarning, 0);
  }
  if (m_wrongOrderCount > 0) {
    VANTStreamedString text;
    text << VANT::MuxText::kWrongOrderCount << static_cast<long long>(m_wrongOrderCount)
         << VANT::MuxText::kMaxTimeJump << VANTStreamedString(VANT::DurationText, m_maxTimeJump)
         << VANT::MuxText::kAdjustBuffer;
    Report(text.Text(), VANT::kError, 0);
  }
  m_queue.Release(); // drops what is left and gives the memory back
  std::vector<uint8_t>().swap(m_serialised);
  m_schedule.clear();
  (this->*m_kind->release)();
}

// ---- Waiting while no input has data
// --------------------------------------------------------------

namespace {

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

int64_t RealTimeNow() noexcept {
  VANTHostKernel* kernel = VANT::Kernel();
  return kernel != nullptr ? kernel->RealTime() : 0;
}

} // namespace

void vant_sorting_multiplexer::ParametersChanged(VANTProperty* property) {
  if (auto* mux = dynamic_cast<vant_sorting_multiplexer*>(property->Module())) {
    mux->m_parameterChanges.fetch_add(1, std::memory_order_release); // after the value is stored
    mux->m_wake.Set();
  }
}

void vant_sorting_multiplexer::ReadChangedParams() {
  const uint64_t changes = m_parameterChanges.load(std::memory_order_acquire);
  if (changes != m_parametersRead) {
    m_parametersRead = changes; // first: a change made while reading is read next time
    ReadParams();
  }
}

void vant_sorting_multiplexer::ResetQueue() {
  m_queue.Reset(static_cast<uint32_t>(m_nbInputs), m_kind->ties);
}

void vant_sorting_multiplexer::ArmInputs() {
  DisarmInputs();
  for (const std::vector<VANTInput*>* inputs : {&m_endOfFileInputs, &m_dataInputs}) {
    for (VANTInput* input : *inputs) {
      m_armedInputs.push_back(input);
      static_cast<VANTInputImplementation*>(input)->SetArrivalEvent(&m_wake);
    }
  }
}

void vant_sorting_multiplexer::DisarmInputs() noexcept {
  for (VANTInput* input : m_armedInputs) {
    static_cast<VANTInputImplementation*>(input)->SetArrivalEvent(nullptr);
  }
  m_armedInputs.clear();
}

bool vant_sorting_multiplexer::SpinForWake(int64_t budget) {
  const int64_t start = RealTimeNow();
  for (uint32_t k = 1;; ++k) {
    if (m_wake.IsSet()) {
      return true;
    }
    CpuRelax();
    if ((k & 15) == 0) {
      const int64_t spent = RealTimeNow() - start;
      if (spent >= budget) {
        return false;
      }
      if ((k & 1023) == 0) {
        sched_yield(); // a long watch leaves the core to whoever else wants it
      }
    }
  }
}

void vant_sorting_multiplexer::Idle() {
  bool allEnded = !m_endOfFile.empty();
  for (const auto& entry : m_endOfFile) {
    allEnded = allEnded && entry.second > 0;
  }
  bool flushDue = false;
  int64_t due = 0;
  if (allEnded) {
    VANTHostKernel* kernel = VANT::Kernel();
    const int64_t now = kernel != nullptr ? kernel->CurrentTime(true, true) : 0;
    const int64_t flushDelay = IntegerProperty(m_flushDelayProperty, "flush_delay");
    if (VANT::Beyond(now, m_lastEndOfFileIssue, flushDelay)) {
      Report(VANT::MuxText::kFlushDelay, VANT::kInformation, 0);
      Flush();
      WriteEndOfFile();
      m_finished = true;
      return;
    }
    // The flush is due once engine time has passed m_lastEndOfFileIssue + flushDelay; a sum
    // beyond the 64-bit range never comes.
    flushDue = !__builtin_add_overflow(m_lastEndOfFileIssue, flushDelay, &due) &&
               due < std::numeric_limits<int64_t>::max();
  }
  // Once every source has ended, the next thing to come is the flush: a long watch would only
  // put it off.
  const int64_t start = RealTimeNow();
  const int64_t watch = !allEnded && m_quietSpell <= kQuietLimit
                            ? std::min(kLongSpin, 2 * m_quietSpell + kShortSpin)
                            : kShortSpin;
  bool woken = SpinForWake(watch);
  if (!woken) {
    woken = flushDue ? !WaitForTimestamp(due + 1, &m_wake) : Wait4Event(&m_wake, -1);
  }
  // A running mean of the quiet spells, each counted up to the limit of the watch.
  const int64_t spell = woken ? std::min(RealTimeNow() - start, 4 * kLongSpin) : 4 * kLongSpin;
  m_quietSpell = (3 * m_quietSpell + spell) / 4;
}

// ---- Output allocation and the end-of-file event
// -------------------------------------------------

int32_t vant_sorting_multiplexer::AllocateOutputLike(VANTOutput* output, VANTIOElt* element) {
  if (output == nullptr || element == nullptr) {
    return 0;
  }
  VANTDataType& type = element->Type();
  output->SetTypeFlags(type.flags);
  output->SetStructureName(type.name1);
  output->SetName2(type.name2);
  const uint64_t code = type.Code();
  if ((code & VANT::TypeCode::IplImage) != 0) {
    output->AllocOutputBufferIplImage(element->IplImage(), 0);
  } else if ((code & VANT::TypeCode::Image) != 0) {
    uint32_t words[12];
    std::memcpy(words, element->Image(), sizeof(words));
    output->AllocOutputBufferImage(static_cast<int32_t>(words[3]), static_cast<int32_t>(words[0]),
                                   static_cast<int32_t>(words[1]), words[10], words[11], 0);
  } else if ((code & VANT::TypeCode::Matrix) != 0) {
    const VANTMatrix* matrix = element->Matrix();
    output->AllocOutputBufferMatrix(matrix->rows, matrix->columns);
  } else if ((code & VANT::TypeCode::ByteBlock) != 0) {
    output->AllocOutputBufferByteBlock(element->ByteBlock());
  } else {
    output->AllocOutputBuffer(element->BufferSize(), 1);
  }
  return element->BufferSize();
}

void vant_sorting_multiplexer::WriteEndOfFile() {
  // The source with the greatest end-of-file timestamp, the lowest index on ties. The scan starts
  // from the first source, not from (0, 0): with every timestamp at 0 or below, the event would
  // otherwise carry the value 0, which a chained multiplexer reads as "not finished yet".
  std::pair<int64_t, int64_t> latest{0, 0};
  for (size_t k = 0; k < m_endOfFile.size(); ++k) {
    if (k == 0 || m_endOfFile[k].first > latest.first) {
      latest = m_endOfFile[k];
    }
  }
  VANTIOElt* element = StartWriting(m_endOfFileOutput);
  if (element == nullptr) {
    return;
  }
  element->Integer64(0) = latest.second;
  element->Timestamp() = latest.first;
  StopWriting(element, false);
}
