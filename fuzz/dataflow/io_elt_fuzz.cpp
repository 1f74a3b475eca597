// The bounded Deserialize of an I/O element, then Serialize and Deserialize again.
//
// Input: one mode byte, then what the mode reads.
//   mode 0: one record, read into a new element that allocates its block;
//   mode 1: a 16-bit length, that many bytes of a first record (read into a new element that
//           allocates), then a second record read into the same element's own storage;
//   mode 2: a type choice, a 16-bit buffer size and a flag byte, then a record read into an
//           element whose block was set up for that type the way an output sets it up.
// Every record that is accepted must serialise to a record of exactly the announced size, which
// must be read back into an element that then serialises to the same bytes (pointers inside
// structured headers compared as offsets into their record).

#include "dataflow/vant_io_elt.h"
#include "fuzz_support.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kCodeBits = 0x1FFFFFF;

constexpr uint64_t kCodes[] = {
    VANT::TypeCode::Structure,
    VANT::TypeCode::Integer32,
    VANT::TypeCode::Float64,
    VANT::TypeCode::Text8,
    VANT::TypeCode::Text16,
    VANT::TypeCode::IplImage,
    VANT::TypeCode::Image,
    VANT::TypeCode::Record24,
    VANT::TypeCode::Matrix,
    VANT::TypeCode::Record320,
    VANT::TypeCode::Record96,
    VANT::TypeCode::TripleArray,
    VANT::TypeCode::UnsignedInteger8,
    VANT::TypeCode::UnsignedInteger16,
    VANT::TypeCode::UnsignedInteger32,
    VANT::TypeCode::Integer64,
    VANT::TypeCode::Float32,
    VANT::TypeCode::ByteBlock,
    VANT::TypeCode::Record80,
    VANT::TypeCode::Integer8,
    VANT::TypeCode::Integer16,
    VANT::TypeCode::UnsignedInteger64,
    VANT::TypeCode::Record96B,
    VANT::TypeCode::PcapStream,
    VANT::TypeCode::Custom,
};

template <class T>
T Load(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}
template <class T>
void Store(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof(T));
}

// Offsets of the pointer fields that Serialize redirects, by type code.
std::vector<size_t> PointerFields(uint64_t code) {
  switch (code) {
  case VANT::TypeCode::IplImage:
    return {offsetof(VANTIplImage, roi), offsetof(VANTIplImage, imageData)};
  case VANT::TypeCode::Image:
    return {offsetof(VANTImage, data)};
  case VANT::TypeCode::Matrix:
    return {offsetof(VANTMatrix, first), offsetof(VANTMatrix, second)};
  case VANT::TypeCode::TripleArray:
    return {offsetof(VANTTripleArray, array1), offsetof(VANTTripleArray, array2),
            offsetof(VANTTripleArray, array3)};
  case VANT::TypeCode::ByteBlock:
    return {offsetof(VANTByteBlock, payload)};
  default:
    return {};
  }
}

size_t NameBytes(const char* name) {
  const size_t length = name != nullptr ? std::strlen(name) : 0;
  return length > 0 ? length + 1 : 0;
}

// A record with the redirected pointers of its header turned into offsets from its start.
std::vector<uint8_t> Normalised(const std::vector<uint8_t>& written, VANTIOElt& element) {
  std::vector<uint8_t> record = written;
  const size_t header =
      40 + NameBytes(element.Type().name2) + 4 + NameBytes(element.Type().name1) + 24;
  const auto base = reinterpret_cast<uintptr_t>(written.data());
  for (size_t field : PointerFields(element.Type().flags & kCodeBits)) {
    FUZZ_CHECK(header + field + 8 <= record.size());
    const auto pointer = Load<uintptr_t>(record.data() + header + field);
    if (pointer != 0) {
      FUZZ_CHECK(pointer >= base + header && pointer <= base + record.size());
      Store<uintptr_t>(record.data() + header + field, pointer - base);
    }
  }
  return record;
}

bool SameName(const char* a, const char* b) {
  return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

// Serialize's size rule counts a byte block's payload size even when it has no payload, which
// Serialize then does not write: the announced size is an upper bound there.
bool AnnouncesUnwrittenPayload(VANTIOElt& element) {
  if ((element.Type().flags & kCodeBits) != VANT::TypeCode::ByteBlock) {
    return false;
  }
  const auto* header = static_cast<const uint8_t*>(element.Data());
  return Load<void*>(header + offsetof(VANTByteBlock, payload)) == nullptr &&
         Load<uint32_t>(header + offsetof(VANTByteBlock, size)) != 0;
}

void CheckRoundTrip(VANTIOEltImplementation& element, size_t inputSize) {
  FUZZ_CHECK(element.Data() != nullptr);
  FUZZ_CHECK(element.VectorSize() >= 0 && element.VectorSize() <= element.BufferSize());
  const bool upperBound = AnnouncesUnwrittenPayload(element);
  const uint32_t needed = element.Serialize(nullptr, 0);
  if (upperBound && (needed == VANT::kIOEltFailure || needed > inputSize + (1u << 20))) {
    return; // a huge announced payload that is not there (the size saturates): nothing to copy
  }
  FUZZ_CHECK(needed != VANT::kIOEltFailure && needed >= VANT::kIOEltRecordFixedSize);
  std::vector<uint8_t> first(needed);
  const uint32_t written = element.Serialize(first.data(), needed);
  FUZZ_CHECK(written != VANT::kIOEltFailure && written <= needed);
  FUZZ_CHECK(upperBound || written == needed);
  if (needed > 0 && written == needed) {
    FUZZ_CHECK(element.Serialize(first.data(), needed - 1) == VANT::kIOEltFailure);
  }
  first.resize(written);

  VANTIOEltImplementation copy;
  FUZZ_CHECK(copy.Deserialize(first.data(), written, true) == 0);
  FUZZ_CHECK(copy.BufferSize() == element.BufferSize());
  FUZZ_CHECK(copy.VectorSize() == element.VectorSize());
  FUZZ_CHECK(copy.Timestamp() == element.Timestamp());
  FUZZ_CHECK(copy.Type().flags == element.Type().flags);
  FUZZ_CHECK(SameName(copy.Type().name1, element.Type().name1));
  FUZZ_CHECK(SameName(copy.Type().name2, element.Type().name2));
  FUZZ_CHECK(copy.AuxValue() == element.AuxValue() && copy.AuxWord() == element.AuxWord());
  FUZZ_CHECK(copy.UserWord1() == element.UserWord1() && copy.UserWord2() == element.UserWord2() &&
             copy.UserWord3() == element.UserWord3());
  FUZZ_CHECK(copy.UsedDataSize() <= copy.AllocatedDataSize() || upperBound);

  std::vector<uint8_t> second(copy.Serialize(nullptr, 0));
  const uint32_t writtenAgain = copy.Serialize(second.data(), static_cast<uint32_t>(second.size()));
  FUZZ_CHECK(writtenAgain == written);
  second.resize(writtenAgain);
  FUZZ_CHECK(Normalised(first, element) == Normalised(second, copy));
  std::free(copy.Data());
}

// Sets up a block for `code` and `n` the way an output allocates one: sub-blocks right after the
// header, sized by the buffer size.
void* SetUpBlock(VANTIOEltImplementation& element, uint64_t flags, int32_t n) {
  element.Type().flags = flags;
  element.BufferSize() = n;
  element.Data() = reinterpret_cast<void*>(1); // AllocatedDataSize is 0 while Data is null
  const uint32_t bytes = element.AllocatedDataSize();
  element.Data() = nullptr;
  if (bytes == VANT::kIOEltFailure) {
    return nullptr;
  }
  auto* block = static_cast<uint8_t*>(std::calloc(bytes > 0 ? bytes : 1, 1));
  const auto at = [&](size_t offset) { return block + offset; };
  const uint64_t u = static_cast<uint64_t>(n);
  switch (flags & kCodeBits) {
  case VANT::TypeCode::IplImage:
    Store(block + offsetof(VANTIplImage, roi), at(sizeof(VANTIplImage)));
    Store(block + offsetof(VANTIplImage, imageSize), n);
    Store(block + offsetof(VANTIplImage, imageData), at(sizeof(VANTIplImage) + sizeof(VANTIplROI)));
    break;
  case VANT::TypeCode::Image:
    Store(block + offsetof(VANTImage, bufferSize), n);
    Store(block + offsetof(VANTImage, data), at(sizeof(VANTImage)));
    break;
  case VANT::TypeCode::Matrix:
    Store(block + offsetof(VANTMatrix, first), at(sizeof(VANTMatrix)));
    Store(block + offsetof(VANTMatrix, second), at(sizeof(VANTMatrix) + 8 * u));
    break;
  case VANT::TypeCode::TripleArray:
    Store(block + offsetof(VANTTripleArray, array1), at(sizeof(VANTTripleArray)));
    Store(block + offsetof(VANTTripleArray, array2), at(sizeof(VANTTripleArray) + 16 * u));
    Store(block + offsetof(VANTTripleArray, array3), at(sizeof(VANTTripleArray) + 40 * u));
    break;
  case VANT::TypeCode::ByteBlock:
    Store(block + offsetof(VANTByteBlock, payload), at(sizeof(VANTByteBlock)));
    break;
  default:
    break;
  }
  return block;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceReports();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) {
    return 0;
  }
  const uint8_t mode = bytes[0] % 3;
  const uint8_t* rest = bytes + 1;
  size_t left = size - 1;
  // Each record gets a block of exactly its own size, so a read past it is caught.
  const auto record = [](const uint8_t* at, size_t length) {
    return std::vector<uint8_t>(at, at + length);
  };
  // A record announces the capacity of the block a new element allocates for it, up to 4 GB
  // whatever the record's own size: such inputs only measure the machine's memory.
  const auto allocatesTooMuch = [](const uint8_t* at, size_t length) {
    return length >= 8 && Load<int32_t>(at + 4) > (1 << 20);
  };

  VANTIOEltImplementation element;
  bool mayAllocate = true;
  if (mode == 1) {
    if (left < 2) {
      return 0;
    }
    const size_t length = std::min<size_t>(Load<uint16_t>(rest), left - 2);
    const std::vector<uint8_t> first = record(rest + 2, length);
    if (allocatesTooMuch(first.data(), first.size())) {
      return 0;
    }
    rest += 2 + length;
    left -= 2 + length;
    if (element.Deserialize(first.data(), static_cast<uint32_t>(first.size()), true) != 0) {
      std::free(element.Data());
      return 0;
    }
    mayAllocate = false;
  } else if (mode == 2) {
    if (left < 4) {
      return 0;
    }
    const uint64_t code = kCodes[rest[0] % std::size(kCodes)];
    const int32_t n = Load<uint16_t>(rest + 1) % 1024;
    const uint64_t flags = code | ((rest[3] & 1) != 0 ? VANT::VectorFlag : 0);
    mayAllocate = (rest[3] & 2) != 0;
    rest += 4;
    left -= 4;
    element.Data() = SetUpBlock(element, flags, n);
    if (element.Data() == nullptr) {
      return 0;
    }
  }

  const std::vector<uint8_t> source = record(rest, left);
  if (element.Data() == nullptr && allocatesTooMuch(source.data(), source.size())) {
    return 0;
  }
  const uint8_t* at = source.empty() ? rest : source.data();
  if (element.Deserialize(at, static_cast<uint32_t>(source.size()), mayAllocate) == 0) {
    CheckRoundTrip(element, size);
  }
  std::free(element.Data());
  return 0;
}
