#include "dataflow/vant_output_implementation.h"

#include "dataflow/vant_dataflow_owner.h"
#include "dataflow/vant_input_implementation.h"
#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"
#include "util/vant_string.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>

namespace {

namespace Code = VANT::TypeCode;

constexpr uint32_t kUnsetFourCharacters = 0x3F3F3F3FU; // "????"

// Allocation failures of an output: level 2, flag true, then the error exception.
[[noreturn]] void Fail(const char* text, int32_t option) {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Report(text, VANT::kError, option, true);
  } else {
    VANT::ReportThroughHook(text, VANT::kError, option, true);
  }
  throw VANT::ErrorException;
}

void Warn(const char* text) {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Report(text, VANT::kError, 0, true);
  } else {
    VANT::ReportThroughHook(text, VANT::kError, 0, true);
  }
}

// How AllocOutputBuffer sizes one element's data block, by the first code of the type word in
// the order of this table.
enum class Sizing {
  kPlainWarn,
  kText8,
  kText16,
  kMatrix,
  kTripleArray,
  kIplImage,
  kImage,
  kByteBlock,
  kOther
};

Sizing SizingOf(uint64_t flags, uint32_t* elementSize) {
  struct Rule {
    uint64_t code;
    Sizing sizing;
  };
  static constexpr Rule kRules[] = {
      {Code::Integer8, Sizing::kPlainWarn},
      {Code::Integer16, Sizing::kPlainWarn},
      {Code::Integer32, Sizing::kPlainWarn},
      {Code::Integer64, Sizing::kPlainWarn},
      {Code::UnsignedInteger8, Sizing::kPlainWarn},
      {Code::UnsignedInteger16, Sizing::kPlainWarn},
      {Code::UnsignedInteger32, Sizing::kPlainWarn},
      {Code::UnsignedInteger64, Sizing::kPlainWarn},
      {Code::Float32, Sizing::kPlainWarn},
      {Code::Float64, Sizing::kPlainWarn},
      {Code::Text8, Sizing::kText8},
      {Code::Text16, Sizing::kText16},
      {Code::Record24, Sizing::kPlainWarn},
      {Code::Record80, Sizing::kPlainWarn},
      {Code::Record96B, Sizing::kPlainWarn},
      {Code::Matrix, Sizing::kMatrix},
      {Code::IplImage, Sizing::kIplImage},
      {Code::Image, Sizing::kImage},
      {Code::Record320, Sizing::kPlainWarn},
      {Code::Record96, Sizing::kPlainWarn},
      {Code::TripleArray, Sizing::kTripleArray},
      {Code::ByteBlock, Sizing::kByteBlock},
  };
  for (const Rule& rule : kRules) {
    if ((flags & rule.code) != 0) {
      *elementSize = VANTIOEltImplementation::PlainElementSize(rule.code);
      return rule.sizing;
    }
  }
  *elementSize = 1;
  return Sizing::kOther;
}

VANTInputImplementation* InputImpl(VANTInput* input) {
  return static_cast<VANTInputImplementation*>(input);
}

} // namespace

VANTOutputImplementation::VANTOutputImplementation(VANTDataflowOwner* owner,
                                                   const VANTOutputDefinition& definition,
                                                   const char* fullName, const char* shortName)
    : m_name(fullName), m_shortName(shortName), m_type(definition.type), m_definition(definition),
      m_owner(owner), m_defaultBufferSize(definition.defaultBufferSize),
      m_fifoSize(definition.fifoSize), m_subsampling(definition.subsampling),
      m_history(new int64_t[VANT::kHistoryLength + 1]()) {
  if (m_defaultBufferSize != 1 && static_cast<int64_t>(m_type.flags) >= 0) {
    m_type.flags |= VANT::VectorFlag;
  }
  m_fifo.store(
      new VANTIOMonitorImplementation(owner != nullptr ? &owner->OwnerStopEvent() : nullptr,
                                      m_fifoSize, m_subsampling, this),
      std::memory_order_release);
}

VANTOutputImplementation::~VANTOutputImplementation() {
  DisconnectAll();
  VANTIOMonitorImplementation* fifo = m_fifo.load(std::memory_order_acquire);
  fifo->ForgetWriter();
  fifo->Unretain(); // readers that still hold its items keep it until they let go
}

void VANTOutputImplementation::DisconnectAll() noexcept {
  for (;;) {
    VANTInput* input = nullptr;
    {
      VANTMutexLocker lock(m_inputsLock);
      if (m_connectedInputs.Head() == nullptr) {
        return;
      }
      input = m_connectedInputs.Head()->Value();
    }
    try {
      if (VANTHostKernel* kernel = VANT::Kernel()) {
        kernel->Disconnect(this, input);
      }
    } catch (...) {
      // the engine reports its own failures; the input is detached below all the same
    }
    EngineDisconnect(input); // nothing more when the engine did it
  }
}

VANTStackedString<40> VANTOutputImplementation::GetName2() {
  return VANTStackedString<40>(m_type.name2);
}

VANTStackedString<40> VANTOutputImplementation::GetName2() const {
  return VANTStackedString<40>(m_type.name2);
}

void VANTOutputImplementation::Rename(const char* oldName, const char* newName) {
  VANT::RenameModulePart(m_name, oldName, newName);
}

// ---- Allocation ------------------------------------------------------------------------------

template <class Visit>
void VANTOutputImplementation::ForEachElement(Visit visit) {
  VANTFastIOItem* position = nullptr;
  int32_t k = 0;
  VANTIOMonitorImplementation& fifo = Fifo();
  for (VANTFastIOItem* item = fifo.First(&position); item != nullptr;
       item = fifo.Next(&position), ++k) {
    visit(k, item->elt.element);
  }
}

void VANTOutputImplementation::CheckNotAllocated(int32_t option) {
  if (m_bufferSize != 0) {
    Fail("Output buffer already initialized. Can't initialize an output buffer twice.", option);
  }
}

void VANTOutputImplementation::ResetElements() {
  if (!Fifo().DropBlock()) {
    ReplaceFifo(m_fifoSize); // a reader holds an element: it keeps the old FIFO
  }
  ForEachElement([this](int32_t, VANTIOEltImplementation& element) {
    element.BufferSize() = 0;
    element.AuxValue() = 0;
    element.AuxWord() = 0;
    element.UserWord1() = 0;
    element.UserWord2() = 0;
    element.UserWord3() = 0;
    element.Type() = m_type;
    element.Data() = nullptr;
    element.SetOwner(this);
  });
}

void VANTOutputImplementation::FailNegative(const char* operation, int32_t line,
                                            const char* parameter, int64_t value) {
  VANTStreamedString message;
  message << operation << ":" << line << ": " << parameter << " [" << value << "] < 0";
  Fail(message.Text(), 2);
}

void VANTOutputImplementation::FailTooBig(VANT::WideSize bytes) {
  // The size asked for may not fit 64 bits: written out digit by digit.
  char digits[48];
  char* text = digits + sizeof(digits) - 1;
  *text = '\0';
  do {
    *--text = static_cast<char>('0' + static_cast<int>(bytes % 10));
    bytes /= 10;
  } while (bytes != 0);
  VANTStreamedString message;
  message << "VANTOutputImplementation::AllocateSharedMemory"
          << ":" << 70 << ": "
          << "Requested buffer size [" << text << "] is too big"
          << " given the current FIFO size ["
          << static_cast<uint64_t>(m_fifoSize > 0 ? m_fifoSize : 0) << "]"
          << " of output [" << m_name.Text() << "]."
          << " Please reduce the requested output buffer size and/or the output FIFO size"
          << " such that (buffer_size * fifo_size) <= " << std::numeric_limits<uint64_t>::max()
          << " (i.e. std::numeric_limits<size_t>::max)";
  Fail(message.Text(), 2);
}

uint8_t* VANTOutputImplementation::AllocateSharedMemory(uint64_t bytes) {
  const uint64_t count = static_cast<uint64_t>(m_fifoSize > 0 ? m_fifoSize : 0);
  const uint64_t maximum = std::numeric_limits<uint64_t>::max();
  if (count != 0 && bytes > maximum / count) {
    FailTooBig(bytes);
  }
  const uint64_t total = bytes * count;
  auto failure = [&](int32_t line, const char* tail) {
    VANTStreamedString message;
    message << "VANTOutputImplementation::AllocateSharedMemory"
            << ":" << line << ": "
            << "Failed to allocate [buffer_size:" << bytes << " x fifo_size:" << count << " = "
            << total << "] bytes for output [" << m_name.Text() << tail;
    Fail(message.Text(), 2);
  };
  if (total == 0) {
    return nullptr; // nothing to hold: the element data stays null
  }
  uint8_t* block = nullptr;
  try {
    block = new uint8_t[total](); // zeroed
  } catch (const std::bad_alloc& error) {
    VANTStreamedString tail;
    tail << "] due to: std::bad_alloc: " << error.what()
         << ". Please reduce the requested output buffer size and/or the output FIFO size";
    failure(82, tail.Text());
  } catch (const std::exception& error) {
    VANTStreamedString tail;
    tail << "] due to: std::exception: " << error.what();
    failure(87, tail.Text());
  }
  Fifo().AdoptBlock(block);
  return block;
}

void VANTOutputImplementation::RequireSharedBlock(const uint8_t* block, int64_t bytesPerSample) {
  if (block == nullptr && static_cast<uint64_t>(bytesPerSample) *
                                  static_cast<uint64_t>(m_fifoSize > 0 ? m_fifoSize : 0) !=
                              0) {
    VANTStreamedString message;
    message << "Output : " << m_name.Text() << " : Not enough memory to allocate output buffer.";
    Fail(message.Text(), 2);
  }
}

void VANTOutputImplementation::AllocOutputBuffer(int32_t isize, int32_t withData) {
  if (isize < 0) {
    FailNegative("VANTOutputImplementation::AllocOutputBuffer", 150, "isize", isize);
  }
  CheckNotAllocated(1);
  ResetElements();

  uint32_t elementSize = 1;
  const Sizing sizing = SizingOf(m_type.flags, &elementSize);
  int64_t bytes = 0;
  int32_t bufferSize = isize;
  bool warn = false;
  switch (sizing) {
  case Sizing::kPlainWarn:
    bytes = static_cast<int64_t>(isize) * elementSize;
    warn = true;
    break;
  case Sizing::kText8:
  case Sizing::kOther:
    bytes = isize;
    break;
  case Sizing::kText16:
    bytes = 2 * static_cast<int64_t>(isize);
    break;
  case Sizing::kMatrix:
    bytes = VANT::kMatrixCellBytes * isize + VANT::kMatrixHeaderBytes;
    break;
  case Sizing::kTripleArray:
    bytes = VANT::kTripleArrayElementBytes * isize + VANT::kTripleArrayHeaderBytes;
    break;
  case Sizing::kIplImage:
    bytes = static_cast<int64_t>(isize) + VANT::kIplImageHeaderBytes;
    bufferSize = -1;
    break;
  case Sizing::kImage:
    bytes = static_cast<int64_t>(isize) + VANT::kImageHeaderBytes;
    bufferSize = -1;
    break;
  case Sizing::kByteBlock:
    bytes = static_cast<int64_t>(isize) + VANT::kByteBlockHeaderBytes;
    bufferSize = -1;
    break;
  }
  const bool headerType = bufferSize == -1;
  if (headerType ? isize < 2 : isize == 0) {
    return;
  }
  if (bytes > std::numeric_limits<int32_t>::max()) {
    VANTStreamedString message;
    message << "Output : " << m_name.Text() << " : Not enough memory to allocate output buffer.";
    Fail(message.Text(), 2);
  }
  if (warn && isize != 1 && (m_type.flags & VANT::VectorFlag) == 0) {
    VANTStreamedString message;
    message << "Output " << m_name.Text() << " is a vector but its vector flag is not set.";
    Warn(message.Text());
  }
  uint8_t* block = nullptr;
  if (withData != 0) {
    block = AllocateSharedMemory(static_cast<uint64_t>(bytes));
    if (withData == 1) {
      RequireSharedBlock(block, bytes);
    }
  }
  // Sized only now that the allocation holds: a failed one leaves the output unallocated.
  m_bufferSize = bufferSize;
  m_bytesPerSample = static_cast<int32_t>(bytes);
  ForEachElement([&](int32_t k, VANTIOEltImplementation& element) {
    element.BufferSize() = isize;
    if (withData == 0 || block == nullptr) {
      return;
    }
    uint8_t* data = block + static_cast<size_t>(k) * static_cast<size_t>(bytes);
    element.Data() = data;
    element.VectorSize() = isize;
    std::memset(data, 0, static_cast<size_t>(bytes));
    switch (sizing) {
    case Sizing::kMatrix: {
      auto* matrix = reinterpret_cast<VANTMatrix*>(data);
      matrix->first = reinterpret_cast<double*>(data + sizeof(VANTMatrix));
      matrix->second = matrix->first + isize;
      break;
    }
    case Sizing::kIplImage: {
      auto* image = reinterpret_cast<VANTIplImage*>(data);
      std::memcpy(image->colorModel, &kUnsetFourCharacters, 4);
      std::memcpy(image->channelSeq, &kUnsetFourCharacters, 4);
      image->nSize = static_cast<int32_t>(sizeof(VANTIplImage));
      image->roi = reinterpret_cast<VANTIplROI*>(data + sizeof(VANTIplImage));
      image->imageData = reinterpret_cast<char*>(data + sizeof(VANTIplImage) + sizeof(VANTIplROI));
      image->imageDataOrigin = image->imageData;
      image->imageSize = isize;
      break;
    }
    case Sizing::kImage: {
      auto* image = reinterpret_cast<VANTImage*>(data);
      image->bufferSize = isize;
      image->data = data + sizeof(VANTImage);
      image->format = kUnsetFourCharacters;
      break;
    }
    case Sizing::kTripleArray: {
      auto* triple = reinterpret_cast<VANTTripleArray*>(data);
      triple->count1 = triple->count2 = triple->count3 = isize;
      triple->array1 = data + sizeof(VANTTripleArray);
      triple->array2 = data + sizeof(VANTTripleArray) + VANT::kTripleArray1Bytes * isize;
      triple->array3 = data + sizeof(VANTTripleArray) +
                       (VANT::kTripleArray1Bytes + VANT::kTripleArray2Bytes) * isize;
      break;
    }
    case Sizing::kByteBlock: {
      auto* header = reinterpret_cast<VANTByteBlock*>(data);
      header->size = static_cast<uint32_t>(isize);
      header->payload = data + sizeof(VANTByteBlock);
      break;
    }
    default:
      break;
    }
  });
}

void VANTOutputImplementation::AllocOutputBufferMatrix(int32_t m, int32_t n) {
  if (m < 0) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferMatrix", 445, "m", m);
  }
  if (n < 0) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferMatrix", 446, "n", n);
  }
  CheckNotAllocated(2);
  ResetElements();
  const int64_t cells = static_cast<int64_t>(m) * n;
  const VANT::WideSize asked =
      VANT::kMatrixCellBytes * static_cast<VANT::WideSize>(cells) + VANT::kMatrixHeaderBytes;
  if (asked > static_cast<VANT::WideSize>(std::numeric_limits<int32_t>::max())) {
    FailTooBig(asked);
  }
  const int64_t bytes = VANT::kMatrixCellBytes * cells + VANT::kMatrixHeaderBytes;
  uint8_t* block = AllocateSharedMemory(static_cast<uint64_t>(bytes));
  RequireSharedBlock(block, bytes);
  m_bytesPerSample = static_cast<int32_t>(bytes);
  m_bufferSize = static_cast<int32_t>(cells);
  ForEachElement([&](int32_t k, VANTIOEltImplementation& element) {
    uint8_t* data = block + static_cast<size_t>(k) * static_cast<size_t>(bytes);
    auto* matrix = reinterpret_cast<VANTMatrix*>(data);
    matrix->rows = m;
    matrix->columns = n;
    matrix->first = reinterpret_cast<double*>(data + sizeof(VANTMatrix));
    matrix->second = matrix->first + cells;
    element.Data() = data;
    element.BufferSize() = static_cast<int32_t>(cells);
    element.VectorSize() = static_cast<int32_t>(cells);
  });
}

void VANTOutputImplementation::AllocOutputBufferImage(int32_t isize, int32_t w, int32_t h,
                                                      uint32_t format, uint32_t extra,
                                                      int32_t noData) {
  if (isize < 0) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferImage", 582, "isize", isize);
  }
  if (w < 0) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferImage", 584, "w", w);
  }
  if (h < 0) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferImage", 585, "h", h);
  }
  CheckNotAllocated(2);
  ResetElements();
  const int64_t slice =
      noData != 0 ? VANT::kImageHeaderBytes : static_cast<int64_t>(isize) + VANT::kImageHeaderBytes;
  uint8_t* block = AllocateSharedMemory(static_cast<uint64_t>(slice));
  RequireSharedBlock(block, isize + 48LL);
  m_bytesPerSample = static_cast<int32_t>(isize + 48LL);
  m_bufferSize = -1;
  ForEachElement([&](int32_t k, VANTIOEltImplementation& element) {
    uint8_t* data = block + static_cast<size_t>(k) * static_cast<size_t>(slice);
    auto* image = reinterpret_cast<VANTImage*>(data);
    image->width = w;
    image->height = h;
    image->dataSize = isize;
    image->bufferSize = isize;
    image->position = k;
    image->marker = 0xDEAD;
    image->data = noData != 0 ? nullptr : data + sizeof(VANTImage);
    image->format = format;
    image->extra = extra;
    element.Data() = data;
    element.BufferSize() = isize;
  });
}

void VANTOutputImplementation::AllocOutputBufferIplImage(const VANTIplImage* model,
                                                         int32_t noData) {
  if (model == nullptr) {
    Fail("VANTOutputImplementation::AllocOutputBufferIplImage: no model image", 2);
  }
  CheckNotAllocated(2);
  ResetElements();
  const int64_t align = model->align > 0 ? model->align : 1;
  const int64_t full = static_cast<int64_t>(model->imageSize) + VANT::kIplImageHeaderBytes + align;
  const int64_t slice = noData != 0 ? VANT::kIplImageHeaderBytes : full;
  if (model->imageSize < 0 || full > std::numeric_limits<int32_t>::max()) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferIplImage", 0, "imageSize",
                 model->imageSize);
  }
  uint8_t* block = AllocateSharedMemory(static_cast<uint64_t>(slice));
  RequireSharedBlock(block, full);
  m_bytesPerSample = static_cast<int32_t>(full);
  m_bufferSize = -1;
  ForEachElement([&](int32_t k, VANTIOEltImplementation& element) {
    uint8_t* data = block + static_cast<size_t>(k) * static_cast<size_t>(slice);
    auto* image = reinterpret_cast<VANTIplImage*>(data);
    std::memcpy(image, model, sizeof(VANTIplImage));
    auto* roi = reinterpret_cast<VANTIplROI*>(data + sizeof(VANTIplImage));
    if (model->roi != nullptr) {
      std::memcpy(roi, model->roi, sizeof(VANTIplROI));
    } else {
      std::memset(roi, 0, sizeof(VANTIplROI));
    }
    image->roi = roi;
    image->maskROI = nullptr;
    image->imageId = nullptr;
    image->tileInfo = nullptr;
    if (noData != 0) {
      image->imageData = nullptr;
    } else {
      const uintptr_t first = reinterpret_cast<uintptr_t>(roi + 1);
      const uintptr_t aligned = (first + static_cast<uintptr_t>(align) - 1) /
                                static_cast<uintptr_t>(align) * static_cast<uintptr_t>(align);
      image->imageData = reinterpret_cast<char*>(aligned);
    }
    image->imageDataOrigin = image->imageData;
    element.Data() = data;
    element.BufferSize() = model->imageSize;
  });
}

void VANTOutputImplementation::AllocOutputBufferByteBlock(const VANTByteBlock* model) {
  CheckNotAllocated(2);
  if (model == nullptr) {
    Fail("VANTOutputImplementation::AllocOutputBufferByteBlock: no model block", 2);
  }
  ResetElements();
  const int64_t slice = static_cast<int64_t>(model->size) + VANT::kByteBlockHeaderBytes;
  if (slice > std::numeric_limits<int32_t>::max()) {
    FailNegative("VANTOutputImplementation::AllocOutputBufferByteBlock", 0, "size", model->size);
  }
  uint8_t* block = AllocateSharedMemory(static_cast<uint64_t>(slice));
  RequireSharedBlock(block, slice);
  m_bytesPerSample = static_cast<int32_t>(slice);
  m_bufferSize = -1;
  ForEachElement([&](int32_t k, VANTIOEltImplementation& element) {
    uint8_t* data = block + static_cast<size_t>(k) * static_cast<size_t>(slice);
    auto* header = reinterpret_cast<VANTByteBlock*>(data);
    *header = *model;
    header->payload = data + sizeof(VANTByteBlock);
    element.Data() = data;
    element.BufferSize() = static_cast<int32_t>(model->size);
  });
}

void VANTOutputImplementation::FreeOutputBuffer() noexcept {
  std::memset(m_history.get(), 0, sizeof(int64_t) * (VANT::kHistoryLength + 1));
  m_bufferSize = 0;
  m_bytesPerSample = 0;
  if (Fifo().DropBlock()) {
    return;
  }
  try {
    ReplaceFifo(m_fifoSize); // the readers that hold elements keep the old FIFO and its block
  } catch (...) {
    // No memory for a new FIFO: the held elements keep theirs; the next allocation tries again.
    VANTStreamedString message;
    message << "Output " << m_name.Text()
            << ": a reader still holds one of its samples and no new FIFO could be made; its "
               "buffer is released when the next allocation succeeds.";
    Warn(message.Text());
  }
}

void VANTOutputImplementation::KeepWithElements(std::shared_ptr<void> resource) {
  Fifo().KeepWithBlock(std::move(resource));
}

void VANTOutputImplementation::ReplaceFifo(int32_t size) {
  auto fresh = std::make_unique<VANTIOMonitorImplementation>(
      m_owner != nullptr ? &m_owner->OwnerStopEvent() : nullptr, size, m_subsampling, this);
  VANTIOMonitorImplementation* old = nullptr;
  {
    VANTMutexLocker lock(m_inputsLock);
    old = m_fifo.load(std::memory_order_acquire);
    old->ReleaseAll(); // its readers that stay never read another of its samples
    for (VANTInput* input : m_connectedInputs) {
      VANTInputImplementation* reader = InputImpl(input);
      uint32_t index = 0;
      uint32_t type = 0;
      uint8_t byte = 0;
      if (reader->ConnectedIndex(&index) && old->ReaderSettings(index, &type, &byte) &&
          fresh->RegisterReader(index, type, byte)) {
        reader->Relink(this, fresh.get(), index);
      }
    }
    m_fifo.store(fresh.release(), std::memory_order_release);
  }
  old->Unretain();
}

// ---- Sub-properties --------------------------------------------------------------------------

void VANTOutputImplementation::ResizeFifo(int32_t size) {
  m_fifoSize = size;
  if (!Fifo().Resize(size)) {
    ReplaceFifo(size); // a reader holds an item of the old one
  }
  m_bufferSize = 0;
  m_bytesPerSample = 0;
  ResetElements();
}

void VANTOutputImplementation::SetSubsampling(int32_t rate) {
  m_subsampling = rate;
  Fifo().SetPublishRate(rate);
}

// ---- Writing ---------------------------------------------------------------------------------

VANTIOEltImplementation* VANTOutputImplementation::TakeForWriting() {
  VANTFastIOItem* item = Fifo().AcquireWrite();
  if (item == nullptr) {
    return nullptr;
  }
  VANTIOEltImplementation& element = item->elt.element;
  element.SetOwner(this);
  element.SetSlot(item);
  element.Timestamp() = 0;
  element.TimeOfIssue() = 0;
  return &element;
}

int64_t VANTOutputImplementation::FittedTimestamp() const noexcept {
  // x = 0 for the oldest entry (the one after the newest) to 29 for the newest.
  const int64_t* ring = m_history.get();
  double meanY = 0;
  for (int32_t i = 0; i < VANT::kHistoryLength; ++i) {
    meanY += static_cast<double>(ring[i]);
  }
  meanY /= VANT::kHistoryLength;
  const double meanX = 14.5;
  double covariance = 0;
  double variance = 0;
  for (int32_t x = 0; x < VANT::kHistoryLength; ++x) {
    const int32_t index = (m_historyIndex + 1 + x) % VANT::kHistoryLength;
    const double dx = x - meanX;
    covariance += dx * (static_cast<double>(ring[index]) - meanY);
    variance += dx * dx;
  }
  const double slope = covariance / variance;
  return static_cast<int64_t>(meanY - slope * meanX + slope * 29);
}

bool VANTOutputImplementation::Publish(VANTIOEltImplementation* element, bool discard) {
  if (element->TimeOfIssue() == 0) {
    VANTHostKernel* kernel = VANT::Kernel();
    element->TimeOfIssue() = kernel != nullptr ? kernel->CurrentTime(true, true) : 0;
  }
  if (element->Timestamp() == 0) {
    element->Timestamp() = element->TimeOfIssue();
  }
  int64_t* ring = m_history.get();
  ring[m_historyIndex] = element->Timestamp();
  if (m_periodic) {
    bool full = true;
    for (int32_t i = 0; i < VANT::kHistoryLength; ++i) {
      if (ring[i] == 0) {
        full = false;
        break;
      }
    }
    if (full) {
      element->Timestamp() = FittedTimestamp();
    }
    if (element->Timestamp() < ring[VANT::kHistoryLength]) {
      element->Timestamp() = element->TimeOfIssue();
    }
  }
  ring[VANT::kHistoryLength] = element->Timestamp();
  m_historyIndex = (m_historyIndex + 1) % VANT::kHistoryLength;

  VANTFastIOItem* item = element->Slot();
  if (discard) {
    Fifo().Free(item);
    return false;
  }
  Fifo().Publish(item);
  return true;
}

void VANTOutputImplementation::NotifySequentialReaders() {
  if (m_connectedCount.load(std::memory_order_acquire) == 0) {
    return;
  }
  // The steps run without the inputs' lock, so that a detach or a connection never waits for a
  // step (which may itself wait, writing into a full FIFO): each input is pinned for its step.
  VANTInputImplementation* readers[VANT::kMaxFifoReaders];
  int32_t count = 0;
  {
    VANTMutexLocker lock(m_inputsLock);
    for (VANTInput* input : m_connectedInputs) {
      VANTInputImplementation* reader = InputImpl(input);
      VANTDataflowOwner* owner = reader->Owner();
      if (owner == nullptr || owner->OwnerIsThreaded() || count == VANT::kMaxFifoReaders) {
        continue;
      }
      reader->BeginStep();
      readers[count++] = reader;
    }
  }
  for (int32_t k = 0; k < count; ++k) {
    // A reader's fault is the reader's: it puts itself in error; the writer goes on.
    readers[k]->Owner()->RunSequentialStep(readers[k]);
    readers[k]->EndStep();
  }
}

// ---- Connections (the engine decides, the output applies) -----------------------------------

bool VANTOutputImplementation::EngineConnect(VANTInput* input, uint32_t readerIndex, uint32_t role,
                                             uint8_t readerByte) {
  VANTInputImplementation* reader = InputImpl(input);
  VANTMutexLocker lock(m_inputsLock);
  VANTIOMonitorImplementation& fifo = Fifo();
  if (!fifo.RegisterReader(readerIndex, role, readerByte)) {
    return false;
  }
  m_connectedInputs.PushBack(input);
  m_connectedCount.store(m_connectedInputs.Count(), std::memory_order_release);
  reader->Link(this, &fifo, readerIndex);
  return true;
}

void VANTOutputImplementation::EngineDisconnect(VANTInput* input) {
  VANTMutexLocker lock(m_inputsLock);
  if (VANTListItem<VANTInput*>* item = m_connectedInputs.Find(input)) {
    m_connectedInputs.Remove(item);
  }
  m_connectedCount.store(m_connectedInputs.Count(), std::memory_order_release);
  InputImpl(input)->Unlink(this);
}

uint32_t VANTOutputImplementation::EngineBusyReaders() {
  VANTMutexLocker lock(m_inputsLock);
  return Fifo().BusyReaders();
}
