#pragma once
// The data type of a sample: a 64-bit type word (one bit per type code, plus the vector flag and
// two name-check exemptions) and two optional names; the filters that inputs, outputs and typed
// accessors accept; the in-memory headers of the structured types.
//
// Thread: a VANTDataType is plain data, guarded by whoever owns it. A VANTDataTypeFilter may be
// matched from several threads at once: its patterns are compiled once, on first use, and
// published atomically.

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

static_assert(std::endian::native == std::endian::little, "the sample layouts are little-endian");

class VANTRegExp;

namespace VANT {

/// Type codes: bits 0 to 24 of a type word. Plain types are arrays of fixed-size elements;
/// structured types have a header whose pointers lead to sub-blocks.
namespace TypeCode {
inline constexpr uint64_t Structure = 0x1;
inline constexpr uint64_t Integer32 = 0x2;
inline constexpr uint64_t Float64 = 0x4;
inline constexpr uint64_t Text8 = 0x8;
inline constexpr uint64_t Text16 = 0x10;
inline constexpr uint64_t IplImage = 0x20;
inline constexpr uint64_t Image = 0x40;
inline constexpr uint64_t Record24 = 0x80;
inline constexpr uint64_t Matrix = 0x100;
inline constexpr uint64_t Record320 = 0x200;
inline constexpr uint64_t Record96 = 0x400;
inline constexpr uint64_t TripleArray = 0x800;
inline constexpr uint64_t UnsignedInteger8 = 0x1000;
inline constexpr uint64_t UnsignedInteger16 = 0x2000;
inline constexpr uint64_t UnsignedInteger32 = 0x4000;
inline constexpr uint64_t Integer64 = 0x8000;
inline constexpr uint64_t Float32 = 0x10000;
inline constexpr uint64_t ByteBlock = 0x20000;
/// Not a runtime type: the PCAP stream type carries it with its structure name.
inline constexpr uint64_t PcapStream = 0x40000;
inline constexpr uint64_t Record80 = 0x80000;
inline constexpr uint64_t Integer8 = 0x100000;
inline constexpr uint64_t Integer16 = 0x200000;
inline constexpr uint64_t UnsignedInteger64 = 0x400000;
inline constexpr uint64_t Custom = 0x800000;
inline constexpr uint64_t Record96B = 0x1000000;
} // namespace TypeCode

/// Bit 63: samples of this type are vectors (several elements per sample).
inline constexpr uint64_t VectorFlag = 0x8000000000000000ULL;
/// Bit 59: filters do not check name1. Bit 58: filters do not check name2.
inline constexpr uint64_t NoName1Check = 0x0800000000000000ULL;
inline constexpr uint64_t NoName2Check = 0x0400000000000000ULL;

} // namespace VANT

/// A data type as a static definition table holds it: the type word and two names that are never
/// freed, so a table never frees its literals. Outputs deep-copy it into their own VANTDataType.
struct VANTDataTypeDef {
  uint64_t flags;    // type word: type code bits 0..24, vector flag bit 63
  const char* name1; // structure type name, or null
  const char* name2; // second qualifying name, or null
};
static_assert(sizeof(VANTDataTypeDef) == 24 && std::is_standard_layout_v<VANTDataTypeDef>);

/// VANTDataType: the type word and two optional names of a sample or of an output.
///
/// Ownership: both names are owned; copying deep-copies them, destroying deletes them.
class VANTDataType {
public:
  VANTDataType() noexcept = default;
  explicit VANTDataType(uint64_t flags, const char* name1 = nullptr, const char* name2 = nullptr);
  /// A deep copy of a definition table's type.
  explicit VANTDataType(const VANTDataTypeDef& definition);
  VANTDataType(const VANTDataType& other);
  VANTDataType(VANTDataType&& other) noexcept;
  VANTDataType& operator=(const VANTDataType& other);
  VANTDataType& operator=(VANTDataType&& other) noexcept;
  ~VANTDataType();

  /// Replaces a name by a copy of `text`; null removes the name.
  void SetName1(const char* text);
  void SetName2(const char* text);
  /// Sets the name to the empty string (an existing, empty name; not an absent one).
  void ClearName1ToEmpty();
  void ClearName2ToEmpty();

  /// The type code bits (0 to 24) of the type word.
  uint64_t Code() const noexcept { return flags & 0x1FFFFFFULL; }
  bool IsVector() const noexcept { return (flags & VANT::VectorFlag) != 0; }

  uint64_t flags = 0;
  char* name1 = nullptr;
  char* name2 = nullptr;
};

/// VANTDataTypeFilter: what an accessor, an input or an output accepts. A type passes when
///   (1) bit 59 of its word is set, or pattern1 is null, or name1 exists and matches pattern1;
///   (2) the same for bit 58, pattern2 and name2;
///   (3) (flags & mask) == (value & mask);
///   (4) (flags & accept) != 0.
///
/// Ownership: the patterns are not owned (definition tables hand in literals); the compiled
///   expressions are created on first use and owned by the filter.
/// Thread: Accepts() may run on several threads at once; a pattern compiled by two threads at
///   the same time is kept once. Copying a filter copies the patterns, not the compiled forms.
class VANTDataTypeFilter {
public:
  constexpr VANTDataTypeFilter(uint64_t mask_, uint64_t value_, uint64_t accept_,
                               const char* pattern1_ = nullptr,
                               const char* pattern2_ = nullptr) noexcept
      : mask(mask_), value(value_), accept(accept_), pattern1(pattern1_), pattern2(pattern2_) {}
  VANTDataTypeFilter(const VANTDataTypeFilter& other) noexcept;
  VANTDataTypeFilter& operator=(const VANTDataTypeFilter& other) noexcept;
  ~VANTDataTypeFilter();

  bool Accepts(const VANTDataType& type) const;
  /// Conditions (3) and (4) only: no names, no allocation.
  constexpr bool AcceptsFlags(uint64_t flags) const noexcept {
    return (flags & mask) == (value & mask) && (flags & accept) != 0;
  }

  uint64_t mask;
  uint64_t value;
  uint64_t accept;
  const char* pattern1;
  const char* pattern2;

private:
  void DropCompiled() noexcept;
  bool Matches(std::atomic<VANTRegExp*>& compiled, const char* pattern, const char* text) const;

  mutable std::atomic<VANTRegExp*> m_regexp1{nullptr};
  mutable std::atomic<VANTRegExp*> m_regexp2{nullptr};
};

namespace VANT {

/// Filter constants of the runtime. A single-code filter accepts any type word that has the code.
namespace Filter {
inline constexpr uint64_t kScalarMask = 0x80000000FFFFFFFFULL;

inline const VANTDataTypeFilter Structure{0, 0, TypeCode::Structure};
inline const VANTDataTypeFilter Integer32{0, 0, TypeCode::Integer32};
inline const VANTDataTypeFilter Float64{0, 0, TypeCode::Float64};
inline const VANTDataTypeFilter Text8{0, 0, TypeCode::Text8};
inline const VANTDataTypeFilter Text16{0, 0, TypeCode::Text16};
inline const VANTDataTypeFilter IplImage{0, 0, TypeCode::IplImage};
inline const VANTDataTypeFilter Image{0, 0, TypeCode::Image};
inline const VANTDataTypeFilter Record24{0, 0, TypeCode::Record24};
inline const VANTDataTypeFilter Matrix{0, 0, TypeCode::Matrix};
inline const VANTDataTypeFilter Record320{0, 0, TypeCode::Record320};
inline const VANTDataTypeFilter Record96{0, 0, TypeCode::Record96};
inline const VANTDataTypeFilter TripleArray{0, 0, TypeCode::TripleArray};
inline const VANTDataTypeFilter UnsignedInteger8{0, 0, TypeCode::UnsignedInteger8};
inline const VANTDataTypeFilter UnsignedInteger16{0, 0, TypeCode::UnsignedInteger16};
inline const VANTDataTypeFilter UnsignedInteger32{0, 0, TypeCode::UnsignedInteger32};
inline const VANTDataTypeFilter Integer64{0, 0, TypeCode::Integer64};
inline const VANTDataTypeFilter Float32{0, 0, TypeCode::Float32};
inline const VANTDataTypeFilter ByteBlock{0, 0, TypeCode::ByteBlock};
inline const VANTDataTypeFilter Record80{0, 0, TypeCode::Record80};
inline const VANTDataTypeFilter Integer8{0, 0, TypeCode::Integer8};
inline const VANTDataTypeFilter Integer16{0, 0, TypeCode::Integer16};
inline const VANTDataTypeFilter UnsignedInteger64{0, 0, TypeCode::UnsignedInteger64};
inline const VANTDataTypeFilter Custom{0, 0, TypeCode::Custom};
inline const VANTDataTypeFilter Record96B{0, 0, TypeCode::Record96B};

/// Exactly that code with the vector flag clear.
inline const VANTDataTypeFilter ScalarInteger32{kScalarMask, TypeCode::Integer32, 0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarInteger8{kScalarMask, TypeCode::Integer8, 0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarInteger16{kScalarMask, TypeCode::Integer16, 0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarInteger64{kScalarMask, TypeCode::Integer64, 0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarUnsignedInteger8{kScalarMask, TypeCode::UnsignedInteger8,
                                                       0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarUnsignedInteger16{kScalarMask, TypeCode::UnsignedInteger16,
                                                        0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarUnsignedInteger32{kScalarMask, TypeCode::UnsignedInteger32,
                                                        0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarUnsignedInteger64{kScalarMask, TypeCode::UnsignedInteger64,
                                                        0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarFloat64{kScalarMask, TypeCode::Float64, 0xFFFFFFFF};
inline const VANTDataTypeFilter ScalarFloat32{kScalarMask, TypeCode::Float32, 0xFFFFFFFF};

/// Groups of codes.
inline const VANTDataTypeFilter Numbers{0, 0, 0x71F006};
inline const VANTDataTypeFilter SignedIntegers{0, 0, 0x308002};
inline const VANTDataTypeFilter UnsignedIntegers{0, 0, 0x407000};
inline const VANTDataTypeFilter Integers{0, 0, 0x70F002};
inline const VANTDataTypeFilter SignedNumbers{0, 0, 0x318006};
inline const VANTDataTypeFilter FloatingPoint{0, 0, 0x10004};
inline const VANTDataTypeFilter Images{0, 0, 0x60};
inline const VANTDataTypeFilter FixedRecords{0, 0, 0x1080080};
/// Any number type with the vector flag clear.
inline const VANTDataTypeFilter NonVectorNumbers{VectorFlag, 0, 0x71F006};
} // namespace Filter

} // namespace VANT

// Headers of the structured types, as held at the start of an element's data block and as copied
// into serialised records. The layouts are fixed (64-bit, little-endian); never reorder fields.

/// Region of interest of an IplImage, 20 bytes.
struct VANTIplROI {
  int32_t coi;
  int32_t xOffset;
  int32_t yOffset;
  int32_t width;
  int32_t height;
};

/// The 144-byte IplImage header (64-bit layout).
struct VANTIplImage {
  int32_t nSize;
  int32_t ID;
  int32_t nChannels;
  int32_t alphaChannel;
  int32_t depth;
  char colorModel[4];
  char channelSeq[4];
  int32_t dataOrder;
  int32_t origin;
  int32_t align;
  int32_t width;
  int32_t height;
  VANTIplROI* roi;
  VANTIplImage* maskROI;
  void* imageId;
  void* tileInfo;
  int32_t imageSize;
  char* imageData;
  int32_t widthStep;
  int32_t BorderMode[4];
  int32_t BorderConst[4];
  char* imageDataOrigin;
};

/// The system's own 48-byte image header.
struct VANTImage {
  int32_t width;
  int32_t height;
  int32_t dataSize;   // bytes of pixels in use
  int32_t bufferSize; // bytes of pixel storage
  int64_t position;   // the element's position in its FIFO at allocation
  uint32_t marker;    // 0xDEAD when set up by the output's image allocation
  uint32_t reserved;
  uint8_t* data;
  uint32_t format; // four characters; "????" when not given
  uint32_t extra;
};

/// Matrix header, 40 bytes: up to two arrays of rows x columns 64-bit floats.
struct VANTMatrix {
  uint32_t kind;
  uint32_t flags;
  int32_t rows;
  int32_t columns;
  double* first;
  double* second;
  uint64_t reserved;
};

/// Triple-array header, 48 bytes: three per-element arrays of 16, 24 and 16 bytes per element.
struct VANTTripleArray {
  int64_t count1;
  void* array1; // 16 bytes per element
  int64_t count2;
  void* array2; // 24 bytes per element
  int64_t count3;
  void* array3; // 16 bytes per element
};

/// Byte block header, 24 bytes, followed by its payload.
struct VANTByteBlock {
  uint32_t kind;
  uint32_t flags;
  uint32_t reserved;
  uint32_t size; // payload bytes
  uint8_t* payload;
};

/// Fixed-size records: contents are the writer's business.
struct VANTRecord24 {
  uint8_t bytes[24];
};
struct VANTRecord80 {
  uint8_t bytes[80];
};
struct VANTRecord96 {
  uint8_t bytes[96];
};
struct VANTRecord320 {
  uint8_t bytes[320];
};

static_assert(sizeof(VANTIplROI) == 20);
static_assert(sizeof(VANTIplImage) == 144 && std::is_standard_layout_v<VANTIplImage>);
static_assert(offsetof(VANTIplImage, colorModel) == 20 && offsetof(VANTIplImage, channelSeq) == 24);
static_assert(offsetof(VANTIplImage, align) == 36);
static_assert(offsetof(VANTIplImage, roi) == 48 && offsetof(VANTIplImage, imageSize) == 80 &&
              offsetof(VANTIplImage, imageData) == 88);
static_assert(offsetof(VANTIplImage, imageDataOrigin) == 136);
static_assert(sizeof(VANTImage) == 48 && std::is_standard_layout_v<VANTImage>);
static_assert(offsetof(VANTImage, dataSize) == 8 && offsetof(VANTImage, bufferSize) == 12 &&
              offsetof(VANTImage, position) == 16 && offsetof(VANTImage, marker) == 24 &&
              offsetof(VANTImage, data) == 32 && offsetof(VANTImage, format) == 40 &&
              offsetof(VANTImage, extra) == 44);
static_assert(sizeof(VANTMatrix) == 40 && std::is_standard_layout_v<VANTMatrix>);
static_assert(offsetof(VANTMatrix, rows) == 8 && offsetof(VANTMatrix, columns) == 12 &&
              offsetof(VANTMatrix, first) == 16 && offsetof(VANTMatrix, second) == 24);
static_assert(sizeof(VANTTripleArray) == 48 && std::is_standard_layout_v<VANTTripleArray>);
static_assert(offsetof(VANTTripleArray, array1) == 8 && offsetof(VANTTripleArray, array2) == 24 &&
              offsetof(VANTTripleArray, array3) == 40);
static_assert(sizeof(VANTByteBlock) == 24 && std::is_standard_layout_v<VANTByteBlock>);
static_assert(offsetof(VANTByteBlock, size) == 12 && offsetof(VANTByteBlock, payload) == 16);
namespace VANT {
/// The bytes per sample of the header types, from their pinned layouts: the header, then what it
/// points to in the same slice.
inline constexpr int64_t kMatrixCellBytes = 2 * sizeof(double); // a cell of each of two arrays
inline constexpr int64_t kTripleArray1Bytes = 16;               // per element, first array
inline constexpr int64_t kTripleArray2Bytes = 24;               // per element, second array
inline constexpr int64_t kTripleArray3Bytes = 16;               // per element, third array
inline constexpr int64_t kTripleArrayElementBytes =
    kTripleArray1Bytes + kTripleArray2Bytes + kTripleArray3Bytes;
inline constexpr int64_t kIplImageHeaderBytes = sizeof(VANTIplImage) + sizeof(VANTIplROI);
inline constexpr int64_t kImageHeaderBytes = sizeof(VANTImage);
inline constexpr int64_t kMatrixHeaderBytes = sizeof(VANTMatrix);
inline constexpr int64_t kTripleArrayHeaderBytes = sizeof(VANTTripleArray);
inline constexpr int64_t kByteBlockHeaderBytes = sizeof(VANTByteBlock);
} // namespace VANT
static_assert(VANT::kIplImageHeaderBytes == 164 && VANT::kTripleArrayElementBytes == 56);

static_assert(sizeof(VANTRecord24) == 24 && sizeof(VANTRecord80) == 80 &&
              sizeof(VANTRecord96) == 96 && sizeof(VANTRecord320) == 320);
