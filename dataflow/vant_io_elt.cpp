#include "dataflow/vant_io_elt.h"

#include "kernel/vant_kernel.h"
#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

using VANT::kIOEltFailure;

constexpr uint64_t kCodeBits = 0x1FFFFFFULL;
constexpr uint32_t kOldestLayoutWithTimeOfIssue = 101;

// How the runtime treats a type word: its code bits must be exactly one known code.
enum class Kind {
  Plain,
  Structure,
  IplImage,
  Image,
  Matrix,
  TripleArray,
  ByteBlock,
  Custom,
  Unknown,
};

Kind KindOf(uint64_t flags) noexcept {
  switch (flags & kCodeBits) {
  case VANT::TypeCode::Structure:
    return Kind::Structure;
  case VANT::TypeCode::IplImage:
    return Kind::IplImage;
  case VANT::TypeCode::Image:
    return Kind::Image;
  case VANT::TypeCode::Matrix:
    return Kind::Matrix;
  case VANT::TypeCode::TripleArray:
    return Kind::TripleArray;
  case VANT::TypeCode::ByteBlock:
    return Kind::ByteBlock;
  case VANT::TypeCode::Custom:
    return Kind::Custom;
  default:
    return VANTIOEltImplementation::PlainElementSize(flags & kCodeBits) != 0 ? Kind::Plain
                                                                             : Kind::Unknown;
  }
}

uint32_t HeaderSize(Kind kind) noexcept {
  switch (kind) {
  case Kind::IplImage:
    return sizeof(VANTIplImage);
  case Kind::Image:
    return sizeof(VANTImage);
  case Kind::Matrix:
    return sizeof(VANTMatrix);
  case Kind::TripleArray:
    return sizeof(VANTTripleArray);
  case Kind::ByteBlock:
    return sizeof(VANTByteBlock);
  default:
    return 0;
  }
}

// Bytes of the data block that holds n elements of a type (the allocation rule). Computed in 64
// bits: the caller decides what a value beyond 32 bits means.
int64_t AllocationBytes(Kind kind, uint64_t flags, int64_t n) noexcept {
  switch (kind) {
  case Kind::Plain:
    return n * VANTIOEltImplementation::PlainElementSize(flags & kCodeBits);
  case Kind::Structure:
  case Kind::Unknown:
    return n;
  case Kind::IplImage:
    return n + 164;
  case Kind::Image:
    return n + 48;
  case Kind::Matrix:
    return 16 * n + 40;
  case Kind::TripleArray:
    return 56 * n + 48;
  case Kind::ByteBlock:
    return n + 24;
  case Kind::Custom:
    break;
  }
  return 0xFFFFFFFFLL;
}

uint64_t NonNegative(int64_t value) noexcept {
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

uint32_t Clamp32(uint64_t value) noexcept {
  return value >= kIOEltFailure ? kIOEltFailure : static_cast<uint32_t>(value);
}

template <class T>
T Load(const void* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

template <class T>
void Store(void* at, const T& value) noexcept {
  std::memcpy(at, &value, sizeof(T));
}

// An error report (level kError) with option and flag, to the engine or through the hook.
void ReportError(const char* text, int32_t option, bool flag) noexcept {
  if (VANTHostKernel* kernel = VANT::Kernel()) {
    kernel->Report(text, VANT::kError, option, flag);
  } else {
    VANT::ReportThroughHook(text, VANT::kError, option, flag);
  }
}

// Serialisation reports: level 2, option 0, flag false; nothing is thrown.
uint32_t FailWith(const char* text) noexcept {
  ReportError(text, 0, false);
  return kIOEltFailure;
}

[[noreturn]] void FailCheck(const char* text) {
  ReportError(text, 2, true);
  throw VANT::ErrorException;
}

// The checks of a typed access. `element` is the element the accessor was called on.
void CheckAccess(const void* element, const VANTDataType* type, int32_t bufferSize,
                 const VANTDataTypeFilter& filter, bool indexed, int32_t index) {
  if (element == nullptr) {
    FailCheck("Check error : A NULL I/O Element was disregarded by a component (probably due a "
              "detachment not taken into account).");
  }
  if (!filter.Accepts(*type)) {
    FailCheck("Check error : Incorrect typing during I/O element access.");
  }
  if (indexed && index >= bufferSize) {
    FailCheck("Check error : Bad vector index during I/O element access.");
  }
}

// A cursor over a record of known (or, for the unbounded form, unlimited) size.
class RecordReader {
public:
  RecordReader(const uint8_t* base, uint64_t size) noexcept : m_base(base), m_size(size) {}

  template <class T>
  bool Get(T& value) noexcept {
    if (m_size - m_pos < sizeof(T)) {
      return false;
    }
    std::memcpy(&value, m_base + m_pos, sizeof(T));
    m_pos += sizeof(T);
    return true;
  }
  // The next `count` bytes, or null when they reach beyond the record.
  const uint8_t* Take(uint64_t count) noexcept {
    if (m_size - m_pos < count) {
      return nullptr;
    }
    const uint8_t* at = m_base + m_pos;
    m_pos += count;
    return at;
  }
  uint64_t Size() const noexcept { return m_size; }

private:
  const uint8_t* m_base;
  uint64_t m_size;
  uint64_t m_pos = 0;
};

// One sub-block of a structured record: where it lies in the record and how long it is.
struct SubBlock {
  const uint8_t* source = nullptr; // null: absent from the record
  uint64_t bytes = 0;
};

// Everything a record holds, checked against its size before the element is touched.
struct ParsedRecord {
  int32_t bufferSize = 0;
  int32_t vectorSize = 0;
  int64_t timestamp = 0;
  uint64_t flags = 0;
  uint32_t length2 = 0;
  const uint8_t* name2 = nullptr;
  uint32_t length1 = 0;
  const uint8_t* name1 = nullptr;
  uint64_t auxValue = 0;
  uint32_t auxWord = 0;
  uint32_t userWords[3] = {0, 0, 0};
  Kind kind = Kind::Unknown;
  const uint8_t* plainData = nullptr; // plain types: the data section
  uint64_t plainBytes = 0;
  const uint8_t* header = nullptr; // structured types: the header as written
  SubBlock blocks[3];
};

std::string Truncated(const char* what, uint64_t available) {
  std::string text = "VANTIOElt deserialization impossible : damaged record: its ";
  text += what;
  text += " reaches beyond the ";
  text += std::to_string(available);
  text += " bytes available.";
  return text;
}

// Reads the record after its version word. Returns false after a report.
bool ParseRecord(RecordReader& reader, uint32_t version, ParsedRecord& record) {
  const uint64_t available = reader.Size();
  int64_t timeOfIssue = 0;
  if (!reader.Get(record.bufferSize) || !reader.Get(record.vectorSize) ||
      !reader.Get(record.timestamp) ||
      (version >= kOldestLayoutWithTimeOfIssue && !reader.Get(timeOfIssue)) ||
      !reader.Get(record.flags)) {
    FailWith(Truncated("fixed part", available).c_str());
    return false;
  }
  if (record.bufferSize < 0 || record.vectorSize < 0) {
    FailWith("VANTIOElt deserialization impossible : damaged record: negative buffer or vector "
             "size.");
    return false;
  }
  // Names: a length, then (when not zero) the text and its terminating NUL.
  const auto getName = [&](uint32_t& length, const uint8_t*& text) {
    if (!reader.Get(length)) {
      return false;
    }
    if (length == 0) {
      return true;
    }
    text = reader.Take(uint64_t{length} + 1);
    return text != nullptr && text[length] == '\0';
  };
  if (!getName(record.length2, record.name2) || !getName(record.length1, record.name1)) {
    FailWith(Truncated("type name", available).c_str());
    return false;
  }
  if (!reader.Get(record.auxValue) || !reader.Get(record.auxWord) ||
      !reader.Get(record.userWords[0]) || !reader.Get(record.userWords[1]) ||
      !reader.Get(record.userWords[2])) {
    FailWith(Truncated("fixed part", available).c_str());
    return false;
  }

  record.kind = KindOf(record.flags);
  const uint64_t vector = static_cast<uint64_t>(record.vectorSize);
  switch (record.kind) {
  case Kind::Custom:
  case Kind::Unknown:
    return true; // refused by the caller: the data layout is unknown
  case Kind::Structure:
  case Kind::Plain:
    record.plainBytes =
        record.kind == Kind::Structure
            ? static_cast<uint64_t>(record.bufferSize)
            : vector * VANTIOEltImplementation::PlainElementSize(record.flags & kCodeBits);
    record.plainData = reader.Take(record.plainBytes);
    if (record.plainData == nullptr) {
      FailWith(Truncated("data", available).c_str());
      return false;
    }
    return true;
  default:
    break;
  }

  record.header = reader.Take(HeaderSize(record.kind));
  if (record.header == nullptr) {
    FailWith(Truncated("header", available).c_str());
    return false;
  }
  // Sub-block sizes, from the header as written. A negative size is damage.
  int64_t sizes[3] = {0, 0, 0};
  bool present[3] = {false, false, false};
  const uint8_t* h = record.header;
  switch (record.kind) {
  case Kind::IplImage:
    present[0] = Load<void*>(h + offsetof(VANTIplImage, roi)) != nullptr;
    sizes[0] = sizeof(VANTIplROI);
    present[1] = Load<void*>(h + offsetof(VANTIplImage, imageData)) != nullptr;
    sizes[1] = Load<int32_t>(h + offsetof(VANTIplImage, imageSize));
    break;
  case Kind::Image:
    present[0] = Load<void*>(h + offsetof(VANTImage, data)) != nullptr;
    sizes[0] = Load<int32_t>(h + offsetof(VANTImage, dataSize));
    break;
  case Kind::Matrix: {
    const int64_t rows = Load<int32_t>(h + offsetof(VANTMatrix, rows));
    const int64_t columns = Load<int32_t>(h + offsetof(VANTMatrix, columns));
    // rows x columns fits in 62 bits; eight times that may not, and no record holds so much.
    const int64_t cells = rows * columns;
    const int64_t bytes = rows < 0 || columns < 0 ? -1
                          : cells > INT64_MAX / 8 ? INT64_MAX
                                                  : 8 * cells;
    present[0] = Load<void*>(h + offsetof(VANTMatrix, first)) != nullptr;
    present[1] = Load<void*>(h + offsetof(VANTMatrix, second)) != nullptr;
    sizes[0] = sizes[1] = bytes;
    break;
  }
  case Kind::TripleArray:
    present[0] = Load<void*>(h + offsetof(VANTTripleArray, array1)) != nullptr;
    present[1] = Load<void*>(h + offsetof(VANTTripleArray, array2)) != nullptr;
    present[2] = Load<void*>(h + offsetof(VANTTripleArray, array3)) != nullptr;
    sizes[0] = 16 * int64_t{record.vectorSize}; // 64 bits: 24 x a 32-bit size may not fit 32
    sizes[1] = 24 * int64_t{record.vectorSize};
    sizes[2] = 16 * int64_t{record.vectorSize};
    break;
  case Kind::ByteBlock:
    present[0] = Load<void*>(h + offsetof(VANTByteBlock, payload)) != nullptr;
    sizes[0] = static_cast<int64_t>(Load<uint32_t>(h + offsetof(VANTByteBlock, size)));
    break;
  default:
    break;
  }
  for (int i = 0; i < 3; ++i) {
    if (!present[i]) {
      continue;
    }
    if (sizes[i] < 0) {
      FailWith("VANTIOElt deserialization impossible : damaged record: negative sub-block size.");
      return false;
    }
    record.blocks[i].bytes = static_cast<uint64_t>(sizes[i]);
    record.blocks[i].source = reader.Take(record.blocks[i].bytes);
    if (record.blocks[i].source == nullptr) {
      FailWith(Truncated("sub-block", available).c_str());
      return false;
    }
  }
  return true;
}

const char kNotAllocated[] =
    "VANTIOElt deserialization impossible : destination is not allocated properly.";
const char kSubBlockTooBig[] = "VANTIOElt deserialization impossible : deserialized sub-block is "
                               "bigger than allocated buffer size.";

} // namespace

uint32_t VANTIOEltImplementation::PlainElementSize(uint64_t code) noexcept {
  switch (code) {
  case VANT::TypeCode::Structure:
  case VANT::TypeCode::Text8:
  case VANT::TypeCode::UnsignedInteger8:
  case VANT::TypeCode::Integer8:
    return 1;
  case VANT::TypeCode::Text16:
  case VANT::TypeCode::UnsignedInteger16:
  case VANT::TypeCode::Integer16:
    return 2;
  case VANT::TypeCode::Integer32:
  case VANT::TypeCode::UnsignedInteger32:
  case VANT::TypeCode::Float32:
    return 4;
  case VANT::TypeCode::Float64:
  case VANT::TypeCode::Integer64:
  case VANT::TypeCode::UnsignedInteger64:
    return 8;
  case VANT::TypeCode::Record24:
    return 24;
  case VANT::TypeCode::Record80:
    return 80;
  case VANT::TypeCode::Record96:
  case VANT::TypeCode::Record96B:
    return 96;
  case VANT::TypeCode::Record320:
    return 320;
  default:
    return 0;
  }
}

// ---- Typed access ----------------------------------------------------------------------------

uint8_t* VANTIOEltImplementation::CheckedAddress(const VANTDataTypeFilter& filter, bool indexed,
                                                 int32_t index, uint32_t elementSize) {
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel != nullptr && kernel->CheckLevel() > 0) {
    CheckAccess(this, &m_type, m_bufferSize, filter, indexed, index);
  }
  uint8_t* data = static_cast<uint8_t*>(m_data);
  return indexed ? data + static_cast<ptrdiff_t>(index) * elementSize : data;
}

int32_t& VANTIOEltImplementation::Integer32(int32_t i) {
  return *reinterpret_cast<int32_t*>(CheckedAddress(VANT::Filter::Integer32, true, i, 4));
}
int64_t& VANTIOEltImplementation::Integer64(int32_t i) {
  return *reinterpret_cast<int64_t*>(CheckedAddress(VANT::Filter::Integer64, true, i, 8));
}
double& VANTIOEltImplementation::Float64(int32_t i) {
  return *reinterpret_cast<double*>(CheckedAddress(VANT::Filter::Float64, true, i, 8));
}
float& VANTIOEltImplementation::Float32(int32_t i) {
  return *reinterpret_cast<float*>(CheckedAddress(VANT::Filter::Float32, true, i, 4));
}
char* VANTIOEltImplementation::Text() {
  return reinterpret_cast<char*>(CheckedAddress(VANT::Filter::Text8, false, 0, 1));
}
char* VANTIOEltImplementation::TextBuffer() {
  return reinterpret_cast<char*>(CheckedAddress(VANT::Filter::Text8, false, 0, 1));
}
char16_t* VANTIOEltImplementation::Text16() {
  return reinterpret_cast<char16_t*>(CheckedAddress(VANT::Filter::Text16, false, 0, 2));
}
VANTIplImage* VANTIOEltImplementation::IplImage() {
  return reinterpret_cast<VANTIplImage*>(CheckedAddress(VANT::Filter::IplImage, false, 0, 0));
}
VANTImage* VANTIOEltImplementation::Image() {
  return reinterpret_cast<VANTImage*>(CheckedAddress(VANT::Filter::Image, false, 0, 0));
}
VANTRecord24* VANTIOEltImplementation::Record24(int32_t i) {
  return reinterpret_cast<VANTRecord24*>(CheckedAddress(VANT::Filter::Record24, true, i, 24));
}
VANTMatrix* VANTIOEltImplementation::Matrix() {
  return reinterpret_cast<VANTMatrix*>(CheckedAddress(VANT::Filter::Matrix, false, 0, 0));
}
VANTRecord320* VANTIOEltImplementation::Record320(int32_t i) {
  return reinterpret_cast<VANTRecord320*>(CheckedAddress(VANT::Filter::Record320, true, i, 320));
}
VANTRecord96* VANTIOEltImplementation::Record96(int32_t i) {
  return reinterpret_cast<VANTRecord96*>(CheckedAddress(VANT::Filter::Record96, true, i, 96));
}
VANTTripleArray* VANTIOEltImplementation::TripleArray() {
  return reinterpret_cast<VANTTripleArray*>(CheckedAddress(VANT::Filter::TripleArray, false, 0, 0));
}
uint8_t* VANTIOEltImplementation::UnsignedInteger8() {
  return CheckedAddress(VANT::Filter::UnsignedInteger8, false, 0, 1);
}
uint16_t* VANTIOEltImplementation::UnsignedInteger16() {
  return reinterpret_cast<uint16_t*>(CheckedAddress(VANT::Filter::UnsignedInteger16, false, 0, 2));
}
uint32_t* VANTIOEltImplementation::UnsignedInteger32() {
  return reinterpret_cast<uint32_t*>(CheckedAddress(VANT::Filter::UnsignedInteger32, false, 0, 4));
}
VANTByteBlock* VANTIOEltImplementation::ByteBlock() {
  return reinterpret_cast<VANTByteBlock*>(CheckedAddress(VANT::Filter::ByteBlock, false, 0, 0));
}

// ---- Sizes -----------------------------------------------------------------------------------

uint32_t VANTIOEltImplementation::AllocatedDataSize() {
  if (m_data == nullptr) {
    return 0;
  }
  return static_cast<uint32_t>(AllocationBytes(KindOf(m_type.flags), m_type.flags, m_bufferSize));
}

uint32_t VANTIOEltImplementation::UsedDataSize(int32_t* isPlain) {
  if (m_data == nullptr) {
    return 0;
  }
  const Kind kind = KindOf(m_type.flags);
  const uint8_t* h = static_cast<const uint8_t*>(m_data);
  const uint64_t n = NonNegative(m_vectorSize);
  uint64_t bytes = 0;
  switch (kind) {
  case Kind::Plain:
    bytes = n * PlainElementSize(m_type.flags & kCodeBits);
    break;
  case Kind::Structure:
    bytes = NonNegative(m_bufferSize);
    break;
  case Kind::IplImage:
    bytes = sizeof(VANTIplImage);
    if (Load<void*>(h + offsetof(VANTIplImage, roi)) != nullptr) {
      bytes += sizeof(VANTIplROI);
    }
    if (Load<void*>(h + offsetof(VANTIplImage, imageData)) != nullptr) {
      bytes += NonNegative(Load<int32_t>(h + offsetof(VANTIplImage, imageSize)));
    }
    break;
  case Kind::Image:
    bytes = sizeof(VANTImage);
    if (Load<void*>(h + offsetof(VANTImage, data)) != nullptr) {
      bytes += NonNegative(Load<int32_t>(h + offsetof(VANTImage, dataSize)));
    }
    break;
  case Kind::Matrix: {
    bytes = sizeof(VANTMatrix);
    const uint64_t array = 8 * NonNegative(Load<int32_t>(h + offsetof(VANTMatrix, rows))) *
                           NonNegative(Load<int32_t>(h + offsetof(VANTMatrix, columns)));
    for (size_t offset : {offsetof(VANTMatrix, first), offsetof(VANTMatrix, second)}) {
      if (Load<void*>(h + offset) != nullptr) {
        bytes += array;
      }
    }
    break;
  }
  case Kind::TripleArray:
    bytes = sizeof(VANTTripleArray);
    if (Load<void*>(h + offsetof(VANTTripleArray, array1)) != nullptr) {
      bytes += 16 * n;
    }
    if (Load<void*>(h + offsetof(VANTTripleArray, array2)) != nullptr) {
      bytes += 24 * n;
    }
    if (Load<void*>(h + offsetof(VANTTripleArray, array3)) != nullptr) {
      bytes += 16 * n;
    }
    break;
  case Kind::ByteBlock:
    bytes = sizeof(VANTByteBlock) + Load<uint32_t>(h + offsetof(VANTByteBlock, size));
    break;
  case Kind::Custom:
    if (isPlain != nullptr) {
      *isPlain = 0;
    }
    return kIOEltFailure;
  case Kind::Unknown:
    return kIOEltFailure;
  }
  if (isPlain != nullptr) {
    *isPlain = kind == Kind::Plain || kind == Kind::Structure ? 1 : 0;
  }
  return Clamp32(bytes);
}

// ---- Serialisation ---------------------------------------------------------------------------

uint32_t VANTIOEltImplementation::Serialize(void* destination, uint32_t capacity) {
  const uint32_t length2 = m_type.name2 != nullptr ? std::strlen(m_type.name2) : 0;
  const uint32_t length1 = m_type.name1 != nullptr ? std::strlen(m_type.name1) : 0;
  const Kind kind = KindOf(m_type.flags);
  // A Custom or unknown type has no known data size: only the fixed part and the names are
  // counted, written, and then refused below.
  const bool knownData = m_data != nullptr && kind != Kind::Custom && kind != Kind::Unknown;
  const uint64_t used = knownData ? UsedDataSize() : 0;
  const uint64_t total = VANT::kIOEltRecordFixedSize + (length2 > 0 ? length2 + 1ULL : 0) +
                         (length1 > 0 ? length1 + 1ULL : 0) + used;
  if (destination == nullptr) {
    return Clamp32(total);
  }
  if (total > capacity) {
    return FailWith("VANTIOElt serialization is not possible : destination memory is too small.");
  }

  uint8_t* out = static_cast<uint8_t*>(destination);
  Store<uint32_t>(out + 0, VANT::kIOEltFormatVersion);
  Store<int32_t>(out + 4, m_bufferSize);
  Store<int32_t>(out + 8, m_vectorSize);
  Store<int64_t>(out + 12, m_timestamp);
  Store<int64_t>(out + 20, m_timeOfIssue);
  Store<uint64_t>(out + 28, m_type.flags);
  size_t pos = 36;
  Store<uint32_t>(out + pos, length2);
  pos += 4;
  if (length2 > 0) {
    std::memcpy(out + pos, m_type.name2, length2 + 1);
    pos += length2 + 1;
  }
  Store<uint32_t>(out + pos, length1);
  pos += 4;
  if (length1 > 0) {
    std::memcpy(out + pos, m_type.name1, length1 + 1);
    pos += length1 + 1;
  }
  Store<uint64_t>(out + pos, m_auxValue);
  Store<uint32_t>(out + pos + 8, m_auxWord);
  Store<uint32_t>(out + pos + 12, m_userWord1);
  Store<uint32_t>(out + pos + 16, m_userWord2);
  Store<uint32_t>(out + pos + 20, m_userWord3);
  pos += 24;

  if (m_data == nullptr) {
    return static_cast<uint32_t>(pos);
  }
  const uint8_t* data = static_cast<const uint8_t*>(m_data);
  if (kind == Kind::Plain || kind == Kind::Structure) {
    std::memcpy(out + pos, data, used);
    return static_cast<uint32_t>(pos + used);
  }
  if (kind == Kind::Custom) {
    return FailWith("VANTIOElt serialization not supported for custom types.");
  }
  if (kind == Kind::Unknown) {
    return FailWith("VANTIOElt serialization impossible : unknown type for VANTIOElt.");
  }

  // Structured: the header as held, then each present sub-block; the pointer fields of the
  // written header are redirected to where their sub-blocks were written.
  uint8_t* header = out + pos;
  std::memcpy(header, data, HeaderSize(kind));
  pos += HeaderSize(kind);
  const auto writeBlock = [&](size_t pointerOffset, uint64_t bytes) {
    const void* block = Load<const void*>(data + pointerOffset);
    if (block == nullptr) {
      return;
    }
    std::memcpy(out + pos, block, bytes);
    Store<const void*>(header + pointerOffset, out + pos);
    pos += bytes;
  };
  switch (kind) {
  case Kind::IplImage:
    writeBlock(offsetof(VANTIplImage, roi), sizeof(VANTIplROI));
    writeBlock(offsetof(VANTIplImage, imageData),
               NonNegative(Load<int32_t>(data + offsetof(VANTIplImage, imageSize))));
    break;
  case Kind::Image:
    writeBlock(offsetof(VANTImage, data),
               NonNegative(Load<int32_t>(data + offsetof(VANTImage, dataSize))));
    break;
  case Kind::Matrix: {
    const uint64_t array = 8 * NonNegative(Load<int32_t>(data + offsetof(VANTMatrix, rows))) *
                           NonNegative(Load<int32_t>(data + offsetof(VANTMatrix, columns)));
    writeBlock(offsetof(VANTMatrix, first), array);
    writeBlock(offsetof(VANTMatrix, second), array);
    break;
  }
  case Kind::TripleArray: {
    const uint64_t n = NonNegative(m_vectorSize);
    writeBlock(offsetof(VANTTripleArray, array1), 16 * n);
    writeBlock(offsetof(VANTTripleArray, array2), 24 * n);
    writeBlock(offsetof(VANTTripleArray, array3), 16 * n);
    break;
  }
  case Kind::ByteBlock:
    writeBlock(offsetof(VANTByteBlock, payload),
               Load<uint32_t>(data + offsetof(VANTByteBlock, size)));
    break;
  default:
    break;
  }
  return static_cast<uint32_t>(pos);
}

uint32_t VANTIOEltImplementation::Deserialize(const void* source, bool mayAllocate) {
  return DeserializeRecord(source, std::numeric_limits<uint64_t>::max(), mayAllocate);
}

uint32_t VANTIOEltImplementation::Deserialize(const void* source, uint32_t available,
                                              bool mayAllocate) {
  return DeserializeRecord(source, available, mayAllocate);
}

uint32_t VANTIOEltImplementation::DeserializeRecord(const void* source, uint64_t available,
                                                    bool mayAllocate) {
  if (source == nullptr) {
    return FailWith("VANTIOElt deserialization impossible : source pointer is NULL");
  }
  RecordReader reader(static_cast<const uint8_t*>(source), available);
  uint32_t version = 0;
  if (!reader.Get(version)) {
    return FailWith(Truncated("format version", available).c_str());
  }
  if (version > VANT::kIOEltFormatVersion) {
    const std::string text = std::string("Wrong binary format version for VANTIOElt, ") +
                             "received = " + std::to_string(version) +
                             ", current = " + std::to_string(VANT::kIOEltFormatVersion);
    return FailWith(text.c_str());
  }
  ParsedRecord record;
  if (!ParseRecord(reader, version, record)) {
    return kIOEltFailure;
  }

  if (m_data == nullptr && !mayAllocate) {
    return FailWith(kNotAllocated);
  }
  // What the element's own block holds, by its type and size before this call.
  const Kind previousKind = KindOf(m_type.flags);
  const uint64_t previousCapacity = m_data != nullptr ? AllocatedDataSize() : 0;
  if (m_data != nullptr) {
    if (record.bufferSize > m_bufferSize) {
      return FailWith("VANTIOElt deserialization impossible : deserialized buffer size is bigger "
                      "than allocated buffer size.");
    }
  } else {
    m_bufferSize = record.bufferSize;
  }
  if (record.vectorSize > m_bufferSize) {
    return FailWith("VANTIOElt deserialization impossible : deserialized vector size is bigger "
                    "than allocated buffer size.");
  }
  m_vectorSize = record.vectorSize;
  m_timestamp = record.timestamp;
  m_type.flags = record.flags;
  if (record.length2 != 0) {
    m_type.SetName2(reinterpret_cast<const char*>(record.name2));
  } else if (m_type.name2 != nullptr) {
    m_type.ClearName2ToEmpty();
  }
  if (record.length1 != 0) {
    m_type.SetName1(reinterpret_cast<const char*>(record.name1));
  } else if (m_type.name1 != nullptr) {
    m_type.ClearName1ToEmpty();
  }
  m_auxValue = record.auxValue;
  m_auxWord = record.auxWord;
  m_userWord1 = record.userWords[0];
  m_userWord2 = record.userWords[1];
  m_userWord3 = record.userWords[2];

  // Types whose layout the runtime does not know are refused before any allocation.
  if (record.kind == Kind::Custom) {
    return FailWith("VANTIOElt deserialization not supported for custom types.");
  }
  if (record.kind == Kind::Unknown) {
    return kIOEltFailure;
  }

  const uint64_t n = static_cast<uint64_t>(m_bufferSize);
  const bool allocating = m_data == nullptr;
  const uint32_t headerSize = HeaderSize(record.kind);
  size_t pointerOffsets[3] = {0, 0, 0};
  int blockCount = 0;
  switch (record.kind) {
  case Kind::IplImage:
    pointerOffsets[0] = offsetof(VANTIplImage, roi);
    pointerOffsets[1] = offsetof(VANTIplImage, imageData);
    blockCount = 2;
    break;
  case Kind::Image:
    pointerOffsets[0] = offsetof(VANTImage, data);
    blockCount = 1;
    break;
  case Kind::Matrix:
    pointerOffsets[0] = offsetof(VANTMatrix, first);
    pointerOffsets[1] = offsetof(VANTMatrix, second);
    blockCount = 2;
    break;
  case Kind::TripleArray:
    pointerOffsets[0] = offsetof(VANTTripleArray, array1);
    pointerOffsets[1] = offsetof(VANTTripleArray, array2);
    pointerOffsets[2] = offsetof(VANTTripleArray, array3);
    blockCount = 3;
    break;
  case Kind::ByteBlock:
    pointerOffsets[0] = offsetof(VANTByteBlock, payload);
    blockCount = 1;
    break;
  default:
    break;
  }

  // Where each sub-block goes and how much room it has there. A new block, and a matrix in any
  // case, lay the sub-blocks out right after the header, in record order, sized by the buffer
  // size; otherwise they go to the storage the element's own header points to.
  const bool laidOut = allocating || record.kind == Kind::Matrix;
  uint64_t offsets[3] = {0, 0, 0};
  uint64_t rooms[3] = {0, 0, 0};
  switch (record.kind) {
  case Kind::IplImage:
    offsets[0] = sizeof(VANTIplImage);
    rooms[0] = sizeof(VANTIplROI);
    offsets[1] = sizeof(VANTIplImage) + sizeof(VANTIplROI);
    rooms[1] = n;
    break;
  case Kind::Image:
  case Kind::ByteBlock:
    offsets[0] = headerSize;
    rooms[0] = n;
    break;
  case Kind::Matrix:
    offsets[0] = sizeof(VANTMatrix);
    offsets[1] = sizeof(VANTMatrix) + 8 * n;
    rooms[0] = rooms[1] = 8 * n;
    break;
  case Kind::TripleArray:
    offsets[0] = sizeof(VANTTripleArray);
    offsets[1] = sizeof(VANTTripleArray) + 16 * n;
    offsets[2] = sizeof(VANTTripleArray) + 40 * n;
    rooms[0] = 16 * n;
    rooms[1] = 24 * n;
    rooms[2] = 16 * n;
    break;
  default:
    break;
  }
  if (laidOut) {
    for (int i = 0; i < blockCount; ++i) {
      if (record.blocks[i].source != nullptr && record.blocks[i].bytes > rooms[i]) {
        return FailWith(kSubBlockTooBig);
      }
    }
  }

  if (allocating) {
    const int64_t bytes = AllocationBytes(record.kind, record.flags, m_bufferSize);
    void* block = bytes >= 0 && bytes < 0xFFFFFFFFLL
                      ? std::calloc(bytes > 0 ? static_cast<size_t>(bytes) : 1, 1)
                      : nullptr;
    if (block == nullptr) {
      return FailWith("VANTIOelt deserialization impossible : not enough memory.");
    }
    m_data = block;
  }
  uint8_t* data = static_cast<uint8_t*>(m_data);
  const uint64_t capacity =
      allocating ? static_cast<uint64_t>(AllocationBytes(record.kind, record.flags, m_bufferSize))
                 : previousCapacity;

  if (record.kind == Kind::Plain || record.kind == Kind::Structure) {
    if (record.plainBytes > capacity) {
      return FailWith("VANTIOElt deserialization impossible : deserialized data is bigger than "
                      "allocated buffer size.");
    }
    std::memcpy(data, record.plainData, record.plainBytes);
    if ((record.flags & kCodeBits) == VANT::TypeCode::Text8 &&
        record.plainBytes < static_cast<uint64_t>(m_bufferSize) && record.plainBytes < capacity) {
      data[record.plainBytes] = '\0';
    }
    return 0;
  }

  // Structured.
  if (headerSize > capacity) {
    return FailWith(kNotAllocated);
  }
  uint8_t* targets[3] = {nullptr, nullptr, nullptr};
  if (laidOut) {
    if (record.kind == Kind::Matrix && 40 + 16 * n > capacity) {
      return FailWith(kNotAllocated);
    }
    for (int i = 0; i < blockCount; ++i) {
      targets[i] = data + offsets[i];
    }
  } else {
    // Only a header of the same kind tells where the element's own sub-blocks are.
    if (previousKind != record.kind) {
      return FailWith(kNotAllocated);
    }
    for (int i = 0; i < blockCount; ++i) {
      targets[i] = Load<uint8_t*>(data + pointerOffsets[i]);
    }
    if (record.kind == Kind::IplImage) {
      const uint64_t imageSize =
          NonNegative(Load<int32_t>(data + offsetof(VANTIplImage, imageSize)));
      rooms[1] = imageSize > n ? imageSize : n;
    }
  }
  for (int i = 0; i < blockCount; ++i) {
    if (record.blocks[i].source == nullptr) {
      continue;
    }
    if (targets[i] == nullptr) {
      return FailWith(kNotAllocated);
    }
    if (record.blocks[i].bytes > rooms[i]) {
      return FailWith(kSubBlockTooBig);
    }
  }

  std::memcpy(data, record.header, headerSize);
  for (int i = 0; i < blockCount; ++i) {
    if (record.blocks[i].source == nullptr) {
      Store<void*>(data + pointerOffsets[i], nullptr);
      continue;
    }
    std::memcpy(targets[i], record.blocks[i].source, record.blocks[i].bytes);
    Store<void*>(data + pointerOffsets[i], targets[i]);
  }
  return 0;
}
