#include "dataflow/vant_io_elt.h"
#include "support/host_fixture.h"
#include "util/vant_exceptions.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using VANT::kIOEltFailure;
namespace Code = VANT::TypeCode;

// Storage for an element's data block, 8-byte aligned.
class Block {
public:
  explicit Block(size_t bytes) : m_words((bytes + 7) / 8 + 1, 0) {}
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(m_words.data()); }

private:
  std::vector<uint64_t> m_words;
};

class IOEltTest : public HostFixture {
protected:
  void SetUp() override {
    HostFixture::SetUp();
    host().SetCheckLevel(0);
  }

  std::vector<HostReport> Reports() { return TakeReports(); }

  static std::vector<uint8_t> SerializeAll(VANTIOEltImplementation& element) {
    const uint32_t size = element.Serialize(nullptr, 0);
    std::vector<uint8_t> record(size, 0xCC);
    EXPECT_EQ(element.Serialize(record.data(), size), size);
    return record;
  }

  static void Fill(VANTIOEltImplementation& element, uint64_t flags, void* data, int32_t buffer,
                   int32_t vector) {
    element.Type().flags = flags;
    element.Data() = data;
    element.BufferSize() = buffer;
    element.VectorSize() = vector;
    element.Timestamp() = 123456789012345;
    element.TimeOfIssue() = 987654321;
    element.AuxValue() = 0x1122334455667788ULL;
    element.AuxWord() = 0xA5A5A5A5;
    element.UserWord1() = 1;
    element.UserWord2() = 2;
    element.UserWord3() = 3;
  }

  static void ExpectSameFields(VANTIOEltImplementation& a, VANTIOEltImplementation& b) {
    EXPECT_EQ(a.VectorSize(), b.VectorSize());
    EXPECT_EQ(a.Timestamp(), b.Timestamp());
    EXPECT_EQ(a.Type().flags, b.Type().flags);
    EXPECT_EQ(a.AuxValue(), b.AuxValue());
    EXPECT_EQ(a.AuxWord(), b.AuxWord());
    EXPECT_EQ(a.UserWord1(), b.UserWord1());
    EXPECT_EQ(a.UserWord2(), b.UserWord2());
    EXPECT_EQ(a.UserWord3(), b.UserWord3());
  }
};

// ---- Plain types ----------------------------------------------------------------------------

struct PlainCase {
  uint64_t code;
  uint32_t elementSize;
};

class PlainRoundTrip : public IOEltTest, public ::testing::WithParamInterface<PlainCase> {};

TEST_P(PlainRoundTrip, CopiesTheUsedElementsAndEveryField) {
  const PlainCase c = GetParam();
  const int32_t buffer = 7;
  const int32_t vector = 5;
  Block source(buffer * c.elementSize);
  for (uint32_t i = 0; i < buffer * c.elementSize; ++i) {
    source.bytes()[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  VANTIOEltImplementation element;
  Fill(element, c.code | VANT::VectorFlag, source.bytes(), buffer, vector);
  element.Type().SetName1("first");
  element.Type().SetName2("sec");

  const std::vector<uint8_t> record = SerializeAll(element);
  // 68 fixed bytes, the names with their terminators, then exactly the used elements.
  ASSERT_EQ(record.size(), 68u + 6 + 4 + vector * c.elementSize);

  VANTIOEltImplementation copy;
  copy.TimeOfIssue() = 42; // never taken from the record
  ASSERT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true), 0u);
  ExpectSameFields(element, copy);
  EXPECT_EQ(copy.TimeOfIssue(), 42);
  EXPECT_EQ(copy.BufferSize(), buffer);
  EXPECT_STREQ(copy.Type().name1, "first");
  EXPECT_STREQ(copy.Type().name2, "sec");
  ASSERT_NE(copy.Data(), nullptr);
  EXPECT_EQ(0, std::memcmp(copy.Data(), source.bytes(), vector * c.elementSize));
  EXPECT_TRUE(Reports().empty());
  std::free(copy.Data());
}

INSTANTIATE_TEST_SUITE_P(
    EveryPlainCode, PlainRoundTrip,
    ::testing::Values(PlainCase{Code::Integer32, 4}, PlainCase{Code::Float64, 8},
                      PlainCase{Code::Text16, 2}, PlainCase{Code::Record24, 24},
                      PlainCase{Code::Record320, 320}, PlainCase{Code::Record96, 96},
                      PlainCase{Code::UnsignedInteger8, 1}, PlainCase{Code::UnsignedInteger16, 2},
                      PlainCase{Code::UnsignedInteger32, 4}, PlainCase{Code::Integer64, 8},
                      PlainCase{Code::Float32, 4}, PlainCase{Code::Record80, 80},
                      PlainCase{Code::Integer8, 1}, PlainCase{Code::Integer16, 2},
                      PlainCase{Code::UnsignedInteger64, 8}, PlainCase{Code::Record96B, 96}));

TEST_F(IOEltTest, StructureCarriesItsWholeBufferWhateverTheVectorSize) {
  Block source(10);
  std::memcpy(source.bytes(), "0123456789", 10);
  VANTIOEltImplementation element;
  Fill(element, Code::Structure, source.bytes(), 10, 1);
  const std::vector<uint8_t> record = SerializeAll(element);
  ASSERT_EQ(record.size(), 78u);

  // Into existing storage larger than the record's buffer: only the record's bytes are read.
  Block target(32);
  std::memset(target.bytes(), 'x', 32);
  VANTIOEltImplementation copy;
  copy.Type().flags = Code::Structure;
  copy.Data() = target.bytes();
  copy.BufferSize() = 32;
  ASSERT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), false), 0u);
  EXPECT_EQ(copy.BufferSize(), 32); // keeps its own buffer size
  EXPECT_EQ(0, std::memcmp(target.bytes(), "0123456789xx", 12));
}

TEST_F(IOEltTest, SizingCallIsExactAndNamesAddTheirTerminator) {
  Block data(16);
  VANTIOEltImplementation element;
  Fill(element, Code::Integer32, data.bytes(), 4, 4);
  EXPECT_EQ(element.Serialize(nullptr, 0), 68u + 16);
  element.Type().SetName1("abcde");
  EXPECT_EQ(element.Serialize(nullptr, 0), 68u + 16 + 6);

  // One byte short: refused, nothing written.
  const uint32_t size = element.Serialize(nullptr, 0);
  std::vector<uint8_t> record(size, 0xCC);
  EXPECT_EQ(element.Serialize(record.data(), size - 1), kIOEltFailure);
  EXPECT_EQ(record, std::vector<uint8_t>(size, 0xCC));
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text,
            "VANTIOElt serialization is not possible : destination memory is too small.");
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_EQ(reports[0].option, 0);
  EXPECT_FALSE(reports[0].flag);

  // Exactly the size asked for is filled completely; the layout is the documented one.
  EXPECT_EQ(element.Serialize(record.data(), size), size);
  uint32_t word = 0;
  std::memcpy(&word, record.data(), 4);
  EXPECT_EQ(word, 102u);
  uint64_t flags = 0;
  std::memcpy(&flags, record.data() + 28, 8);
  EXPECT_EQ(flags, Code::Integer32);
  std::memcpy(&word, record.data() + 36, 4);
  EXPECT_EQ(word, 0u); // no name2
  std::memcpy(&word, record.data() + 40, 4);
  EXPECT_EQ(word, 5u); // name1 length
  EXPECT_STREQ(reinterpret_cast<const char*>(record.data() + 44), "abcde");
}

TEST_F(IOEltTest, ElementWithoutDataWritesOnlyTheFixedPart) {
  VANTIOEltImplementation element;
  Fill(element, Code::Float64, nullptr, 3, 3);
  std::vector<uint8_t> record(100);
  EXPECT_EQ(element.Serialize(nullptr, 0), 68u);
  EXPECT_EQ(element.Serialize(record.data(), 100), 68u);
}

TEST_F(IOEltTest, Text8IsTerminatedOnlyWhenRoomAllows) {
  Block source(3);
  std::memcpy(source.bytes(), "abc", 3);
  VANTIOEltImplementation element;
  Fill(element, Code::Text8, source.bytes(), 3, 3);
  const std::vector<uint8_t> record = SerializeAll(element);

  for (int32_t buffer : {4, 3}) {
    Block target(8);
    std::memset(target.bytes(), '#', 8);
    VANTIOEltImplementation copy;
    copy.Type().flags = Code::Text8;
    copy.Data() = target.bytes();
    copy.BufferSize() = buffer;
    ASSERT_EQ(copy.Deserialize(record.data(), false), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(target.bytes()), 4),
              buffer == 4 ? std::string("abc\0", 4) : std::string("abc#"))
        << "buffer " << buffer;
  }
}

// ---- Structured types -----------------------------------------------------------------------

TEST_F(IOEltTest, IplImageRoundTripRedirectsItsPointers) {
  Block block(164 + 12);
  VANTIplImage header{};
  header.nSize = 144;
  header.width = 4;
  header.height = 3;
  header.imageSize = 12;
  auto* roi = reinterpret_cast<VANTIplROI*>(block.bytes() + 144);
  *roi = VANTIplROI{1, 2, 3, 4, 5};
  header.roi = roi;
  header.imageData = reinterpret_cast<char*>(block.bytes() + 164);
  for (int i = 0; i < 12; ++i) {
    block.bytes()[164 + i] = static_cast<uint8_t>(100 + i);
  }
  std::memcpy(block.bytes(), &header, sizeof header);
  VANTIOEltImplementation element;
  Fill(element, Code::IplImage, block.bytes(), 12, 1);
  EXPECT_EQ(element.UsedDataSize(), 144u + 20 + 12);

  std::vector<uint8_t> record = SerializeAll(element);
  ASSERT_EQ(record.size(), 68u + 176);
  // The written header points into the record, at the written sub-blocks.
  void* written = nullptr;
  std::memcpy(&written, record.data() + 68 + 48, sizeof written);
  EXPECT_EQ(written, record.data() + 68 + 144);
  std::memcpy(&written, record.data() + 68 + 88, sizeof written);
  EXPECT_EQ(written, record.data() + 68 + 164);

  VANTIOEltImplementation copy;
  ASSERT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true), 0u);
  VANTIplImage* image = copy.IplImage();
  auto* base = static_cast<uint8_t*>(copy.Data());
  EXPECT_EQ(image->width, 4);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(image->roi), base + 144);
  EXPECT_EQ(image->roi->height, 5);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(image->imageData), base + 164);
  EXPECT_EQ(0, std::memcmp(image->imageData, block.bytes() + 164, 12));
  std::free(copy.Data());
}

TEST_F(IOEltTest, ImageAndByteBlockRoundTripIntoExistingStorage) {
  // Image: header then pixels.
  Block imageBlock(48 + 8);
  VANTImage image{};
  image.width = 2;
  image.height = 2;
  image.dataSize = 8;
  image.bufferSize = 8;
  image.data = imageBlock.bytes() + 48;
  std::memcpy(imageBlock.bytes() + 48, "pixels!!", 8);
  std::memcpy(imageBlock.bytes(), &image, sizeof image);
  VANTIOEltImplementation element;
  Fill(element, Code::Image, imageBlock.bytes(), 8, 1);
  const std::vector<uint8_t> record = SerializeAll(element);
  ASSERT_EQ(record.size(), 68u + 56);

  // The target's own pixel storage lies elsewhere: the data goes where its header points.
  Block targetBlock(48);
  Block targetPixels(8);
  VANTImage targetHeader{};
  targetHeader.data = targetPixels.bytes();
  std::memcpy(targetBlock.bytes(), &targetHeader, sizeof targetHeader);
  VANTIOEltImplementation copy;
  copy.Type().flags = Code::Image;
  copy.Data() = targetBlock.bytes();
  copy.BufferSize() = 8;
  ASSERT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), false), 0u);
  EXPECT_EQ(copy.Image()->data, targetPixels.bytes());
  EXPECT_EQ(0, std::memcmp(targetPixels.bytes(), "pixels!!", 8));

  // ByteBlock: header then payload.
  Block bytes(24 + 5);
  VANTByteBlock blockHeader{};
  blockHeader.size = 5;
  blockHeader.payload = bytes.bytes() + 24;
  std::memcpy(bytes.bytes() + 24, "hello", 5);
  std::memcpy(bytes.bytes(), &blockHeader, sizeof blockHeader);
  VANTIOEltImplementation blockElement;
  Fill(blockElement, Code::ByteBlock, bytes.bytes(), 5, 1);
  const std::vector<uint8_t> blockRecord = SerializeAll(blockElement);
  ASSERT_EQ(blockRecord.size(), 68u + 29);
  VANTIOEltImplementation blockCopy;
  ASSERT_EQ(blockCopy.Deserialize(blockRecord.data(), 97, true), 0u);
  EXPECT_EQ(blockCopy.ByteBlock()->size, 5u);
  EXPECT_EQ(blockCopy.ByteBlock()->payload, static_cast<uint8_t*>(blockCopy.Data()) + 24);
  EXPECT_EQ(0, std::memcmp(blockCopy.ByteBlock()->payload, "hello", 5));
  std::free(blockCopy.Data());
}

TEST_F(IOEltTest, MatrixWithoutSecondArrayReadsNoFurther) {
  const int32_t rows = 2;
  const int32_t columns = 3;
  Block block(40 + 16 * 6);
  VANTMatrix matrix{};
  matrix.rows = rows;
  matrix.columns = columns;
  matrix.first = reinterpret_cast<double*>(block.bytes() + 40);
  matrix.second = nullptr;
  for (int i = 0; i < 6; ++i) {
    matrix.first[i] = i + 0.5;
  }
  std::memcpy(block.bytes(), &matrix, sizeof matrix);
  VANTIOEltImplementation element;
  Fill(element, Code::Matrix, block.bytes(), 6, 6);
  const std::vector<uint8_t> record = SerializeAll(element);
  ASSERT_EQ(record.size(), 68u + 40 + 48);

  // The bounded form with exactly the record's bytes proves nothing beyond is read.
  VANTIOEltImplementation copy;
  ASSERT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true), 0u);
  VANTMatrix* m = copy.Matrix();
  auto* base = static_cast<uint8_t*>(copy.Data());
  EXPECT_EQ(reinterpret_cast<uint8_t*>(m->first), base + 40);
  EXPECT_EQ(m->second, nullptr);
  EXPECT_DOUBLE_EQ(m->first[5], 5.5);
  std::free(copy.Data());

  // Into existing storage: the first array right after the header, the second after
  // BufferSize doubles.
  Block target(40 + 16 * 8);
  VANTIOEltImplementation existing;
  existing.Type().flags = Code::Matrix;
  existing.Data() = target.bytes();
  existing.BufferSize() = 8;
  ASSERT_EQ(existing.Deserialize(record.data(), false), 0u);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(existing.Matrix()->first), target.bytes() + 40);
  EXPECT_EQ(existing.BufferSize(), 8);
}

TEST_F(IOEltTest, TripleArrayWritesItsPresentArraysByVectorSize) {
  const int32_t n = 3;
  Block block(48 + 56 * n);
  VANTTripleArray triple{};
  triple.array1 = block.bytes() + 48;
  triple.array2 = nullptr;
  triple.array3 = block.bytes() + 48 + 40 * n;
  for (int i = 0; i < 16 * n; ++i) {
    block.bytes()[48 + i] = static_cast<uint8_t>(i);
    block.bytes()[48 + 40 * n + i] = static_cast<uint8_t>(200 - i);
  }
  std::memcpy(block.bytes(), &triple, sizeof triple);
  VANTIOEltImplementation element;
  Fill(element, Code::TripleArray, block.bytes(), n, 2);
  const std::vector<uint8_t> record = SerializeAll(element);
  ASSERT_EQ(record.size(), 68u + 48 + 16 * 2 + 16 * 2);

  VANTIOEltImplementation copy;
  ASSERT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true), 0u);
  VANTTripleArray* t = copy.TripleArray();
  auto* base = static_cast<uint8_t*>(copy.Data());
  EXPECT_EQ(t->array1, base + 48);
  EXPECT_EQ(t->array2, nullptr);
  EXPECT_EQ(t->array3, base + 48 + 40 * n); // laid out by BufferSize
  EXPECT_EQ(0, std::memcmp(t->array3, block.bytes() + 48 + 40 * n, 32));
  std::free(copy.Data());
}

TEST_F(IOEltTest, CustomAndUnknownTypesAreRefusedAfterTheFixedPart) {
  Block data(8);
  VANTIOEltImplementation element;
  Fill(element, Code::Custom, data.bytes(), 8, 8);
  EXPECT_EQ(element.UsedDataSize(), kIOEltFailure);
  const uint32_t size = element.Serialize(nullptr, 0);
  EXPECT_EQ(size, 68u);
  std::vector<uint8_t> record(size);
  EXPECT_EQ(element.Serialize(record.data(), size), kIOEltFailure);
  uint32_t version = 0;
  std::memcpy(&version, record.data(), 4);
  EXPECT_EQ(version, 102u); // the fixed part was written
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "VANTIOElt serialization not supported for custom types.");

  VANTIOEltImplementation copy;
  EXPECT_EQ(copy.Deserialize(record.data(), size, true), kIOEltFailure);
  EXPECT_EQ(copy.Data(), nullptr); // nothing allocated for a layout the runtime does not know
  reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "VANTIOElt deserialization not supported for custom types.");

  element.Type().flags = VANT::TypeCode::PcapStream;
  int32_t isPlain = 7;
  EXPECT_EQ(element.UsedDataSize(&isPlain), kIOEltFailure);
  EXPECT_EQ(isPlain, 7); // left unchanged for an unknown code
  EXPECT_EQ(element.AllocatedDataSize(), 8u);
  EXPECT_EQ(element.Serialize(record.data(), size), kIOEltFailure);
  reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "VANTIOElt serialization impossible : unknown type for VANTIOElt.");
  EXPECT_EQ(copy.Deserialize(record.data(), size, true), kIOEltFailure);
  EXPECT_TRUE(Reports().empty()); // unknown: refused without a report
}

// ---- Versions and refusals ------------------------------------------------------------------

// A version-100 record: no TimeOfIssue, the type word right after the time stamp.
std::vector<uint8_t> Version100Record() {
  std::vector<uint8_t> r(60 + 8);
  auto put = [&](size_t at, const auto& v) { std::memcpy(r.data() + at, &v, sizeof v); };
  put(0, uint32_t{100});
  put(4, int32_t{2});
  put(8, int32_t{2});
  put(12, int64_t{5555});
  put(20, uint64_t{Code::Integer32});
  put(28, uint32_t{0});
  put(32, uint32_t{0});
  put(36, uint64_t{77});
  put(44, uint32_t{8});
  put(48, uint32_t{9});
  put(52, uint32_t{10});
  put(56, uint32_t{11});
  put(60, int32_t{-1});
  put(64, int32_t{1234});
  return r;
}

TEST_F(IOEltTest, Version100RecordHasItsTypeWordAtOffset20) {
  const std::vector<uint8_t> record = Version100Record();
  VANTIOEltImplementation element;
  element.TimeOfIssue() = 31;
  ASSERT_EQ(element.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true), 0u);
  EXPECT_EQ(element.Type().flags, Code::Integer32);
  EXPECT_EQ(element.Timestamp(), 5555);
  EXPECT_EQ(element.TimeOfIssue(), 31);
  EXPECT_EQ(element.AuxValue(), 77u);
  EXPECT_EQ(element.UserWord3(), 11u);
  EXPECT_EQ(element.Integer32(0), -1);
  EXPECT_EQ(element.Integer32(1), 1234);
  std::free(element.Data());
}

TEST_F(IOEltTest, NewerFormatIsRefusedNamingBothVersions) {
  std::vector<uint8_t> record = Version100Record();
  const uint32_t version = 103;
  std::memcpy(record.data(), &version, 4);
  VANTIOEltImplementation element;
  EXPECT_EQ(element.Deserialize(record.data(), true), kIOEltFailure);
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text,
            "Wrong binary format version for VANTIOElt, received = 103, current = 102");
  EXPECT_EQ(element.Data(), nullptr);
}

TEST_F(IOEltTest, DestinationRulesAreCheckedInOrder) {
  Block data(16);
  VANTIOEltImplementation source;
  Fill(source, Code::Integer32, data.bytes(), 4, 3);
  source.Type().SetName2("kept");
  const std::vector<uint8_t> record = SerializeAll(source);

  VANTIOEltImplementation empty;
  EXPECT_EQ(empty.Deserialize(nullptr, true), kIOEltFailure);
  EXPECT_EQ(empty.Deserialize(record.data(), false), kIOEltFailure);
  Block small(16);
  VANTIOEltImplementation tooSmall;
  tooSmall.Type().flags = Code::Integer32;
  tooSmall.Data() = small.bytes();
  tooSmall.BufferSize() = 3;
  EXPECT_EQ(tooSmall.Deserialize(record.data(), false), kIOEltFailure);
  std::vector<std::string> texts;
  for (const HostReport& r : Reports()) {
    texts.push_back(r.text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "VANTIOElt deserialization impossible : source pointer is NULL",
                       "VANTIOElt deserialization impossible : destination is not allocated "
                       "properly.",
                       "VANTIOElt deserialization impossible : deserialized buffer size is "
                       "bigger than allocated buffer size."}));

  // A zero name length clears an existing name to the empty string.
  VANTIOEltImplementation named;
  named.Type().SetName1("old");
  ASSERT_EQ(named.Deserialize(record.data(), true), 0u);
  EXPECT_STREQ(named.Type().name1, "");
  EXPECT_STREQ(named.Type().name2, "kept");
  std::free(named.Data());
}

TEST_F(IOEltTest, VectorSizeBeyondTheBufferIsRefused) {
  Block data(16);
  VANTIOEltImplementation source;
  Fill(source, Code::Integer32, data.bytes(), 4, 4);
  std::vector<uint8_t> record = SerializeAll(source);
  const int32_t vector = 5; // damage: more used than the buffer holds
  std::memcpy(record.data() + 8, &vector, 4);
  VANTIOEltImplementation copy;
  EXPECT_EQ(copy.Deserialize(record.data(), true), kIOEltFailure);
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "VANTIOElt deserialization impossible : deserialized vector size is "
                             "bigger than allocated buffer size.");
}

// ---- Damaged records ------------------------------------------------------------------------

TEST_F(IOEltTest, EveryTruncationIsRefusedWithoutTouchingTheElement) {
  Block block(40 + 16 * 4);
  VANTMatrix matrix{};
  matrix.rows = 2;
  matrix.columns = 2;
  matrix.first = reinterpret_cast<double*>(block.bytes() + 40);
  matrix.second = reinterpret_cast<double*>(block.bytes() + 40 + 32);
  std::memcpy(block.bytes(), &matrix, sizeof matrix);
  VANTIOEltImplementation source;
  Fill(source, Code::Matrix, block.bytes(), 4, 4);
  source.Type().SetName1("n1");
  source.Type().SetName2("name2");
  const std::vector<uint8_t> record = SerializeAll(source);

  for (uint32_t length = 0; length < record.size(); ++length) {
    // Each prefix in a block of its own size, so a read beyond it is caught by sanitizers too.
    std::unique_ptr<uint8_t[]> prefix(new uint8_t[length]);
    std::memcpy(prefix.get(), record.data(), length);
    VANTIOEltImplementation copy;
    copy.Timestamp() = -7;
    EXPECT_EQ(copy.Deserialize(prefix.get(), length, true), kIOEltFailure) << length;
    EXPECT_EQ(copy.Data(), nullptr) << length;
    EXPECT_EQ(copy.Timestamp(), -7) << length;
    EXPECT_EQ(copy.Type().name1, nullptr) << length;
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u) << length;
    EXPECT_NE(reports[0].text.find("reaches beyond the " + std::to_string(length) + " bytes"),
              std::string::npos)
        << reports[0].text;
  }
  VANTIOEltImplementation whole;
  EXPECT_EQ(whole.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true), 0u);
  std::free(whole.Data());
}

TEST_F(IOEltTest, DamagedLengthsAreRefused) {
  Block data(8);
  VANTIOEltImplementation source;
  Fill(source, Code::UnsignedInteger8, data.bytes(), 8, 8);
  source.Type().SetName2("ab");
  const std::vector<uint8_t> good = SerializeAll(source);

  struct Damage {
    size_t offset;
    uint32_t value;
  };
  // A huge name length, a name without its terminator, a negative buffer size.
  for (const Damage d : {Damage{36, 0xFFFFFFFFu}, Damage{36, 1u}, Damage{4, 0x80000000u}}) {
    std::vector<uint8_t> record = good;
    std::memcpy(record.data() + d.offset, &d.value, 4);
    VANTIOEltImplementation copy;
    EXPECT_EQ(copy.Deserialize(record.data(), static_cast<uint32_t>(record.size()), true),
              kIOEltFailure)
        << d.offset << " " << d.value;
    EXPECT_EQ(copy.Data(), nullptr);
    EXPECT_EQ(Reports().size(), 1u);
  }
}

TEST_F(IOEltTest, SubBlocksLargerThanTheirStorageAreRefusedEvenUnbounded) {
  // An image whose pixel count exceeds its buffer size would overrun the new block.
  Block block(48 + 64);
  VANTImage image{};
  image.dataSize = 64;
  image.data = block.bytes() + 48;
  std::memcpy(block.bytes(), &image, sizeof image);
  VANTIOEltImplementation source;
  Fill(source, Code::Image, block.bytes(), 16, 1);
  const std::vector<uint8_t> record = SerializeAll(source);
  VANTIOEltImplementation copy;
  EXPECT_EQ(copy.Deserialize(record.data(), true), kIOEltFailure);
  EXPECT_EQ(copy.Data(), nullptr);
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "VANTIOElt deserialization impossible : deserialized sub-block is "
                             "bigger than allocated buffer size.");
}

// Sub-block sizes announced by a damaged header may not fit 64 (matrix) or 32 (triple array)
// bits once multiplied by their element size: such a record is too short, never a negative size.
TEST_F(IOEltTest, HugeAnnouncedSubBlocksAreTooLongForTheRecord) {
  constexpr size_t kHeader = 68; // no names: the header follows the fixed part
  Block matrixBlock(40 + 16);
  VANTMatrix matrix{};
  matrix.rows = 1;
  matrix.columns = 1;
  matrix.first = reinterpret_cast<double*>(matrixBlock.bytes() + 40);
  std::memcpy(matrixBlock.bytes(), &matrix, sizeof matrix);
  VANTIOEltImplementation matrixSource;
  Fill(matrixSource, Code::Matrix, matrixBlock.bytes(), 1, 1);
  std::vector<uint8_t> matrixRecord = SerializeAll(matrixSource);
  const int32_t most = INT32_MAX;
  std::memcpy(matrixRecord.data() + kHeader + offsetof(VANTMatrix, rows), &most, 4);
  std::memcpy(matrixRecord.data() + kHeader + offsetof(VANTMatrix, columns), &most, 4);

  Block tripleBlock(48 + 56);
  VANTTripleArray triple{};
  triple.array2 = tripleBlock.bytes() + 48 + 16;
  std::memcpy(tripleBlock.bytes(), &triple, sizeof triple);
  VANTIOEltImplementation tripleSource;
  Fill(tripleSource, Code::TripleArray, tripleBlock.bytes(), 1, 1);
  std::vector<uint8_t> tripleRecord = SerializeAll(tripleSource);
  std::memcpy(tripleRecord.data() + 4, &most, 4); // BufferSize
  std::memcpy(tripleRecord.data() + 8, &most, 4); // VectorSize: 24 x it needs 35 bits

  for (std::vector<uint8_t>* record : {&matrixRecord, &tripleRecord}) {
    VANTIOEltImplementation copy;
    EXPECT_EQ(copy.Deserialize(record->data(), static_cast<uint32_t>(record->size()), true),
              kIOEltFailure);
    EXPECT_EQ(copy.Data(), nullptr);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, "VANTIOElt deserialization impossible : damaged record: its "
                               "sub-block reaches beyond the " +
                                   std::to_string(record->size()) + " bytes available.");
  }
}

TEST_F(IOEltTest, ExistingStorageOfAnotherTypeIsNotOverrun) {
  Block data(80);
  VANTIOEltImplementation source;
  Fill(source, Code::Float64, data.bytes(), 10, 10);
  const std::vector<uint8_t> record = SerializeAll(source);

  Block target(40 + 8); // ten Integer32 and a guard word
  std::memset(target.bytes(), 0x5A, 48);
  VANTIOEltImplementation copy;
  copy.Type().flags = Code::Integer32;
  copy.Data() = target.bytes();
  copy.BufferSize() = 10;
  EXPECT_EQ(copy.Deserialize(record.data(), false), kIOEltFailure);
  EXPECT_EQ(target.bytes()[40], 0x5A);
  EXPECT_EQ(Reports().size(), 1u);
}

// ---- Checked access -------------------------------------------------------------------------

TEST_F(IOEltTest, CheckLevelZeroTrustsTheCaller) {
  Block data(16);
  VANTIOEltImplementation element;
  Fill(element, Code::Float64, data.bytes(), 2, 2);
  EXPECT_EQ(&element.Integer32(1), reinterpret_cast<int32_t*>(data.bytes()) + 1);
  EXPECT_EQ(element.Text(), reinterpret_cast<char*>(data.bytes()));
  EXPECT_EQ(&element.Float64(5), reinterpret_cast<double*>(data.bytes()) + 5);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(IOEltTest, CheckedAccessReportsTypeAndIndexErrors) {
  host().SetCheckLevel(1);
  Block data(16);
  VANTIOEltImplementation element;
  Fill(element, Code::Integer32 | VANT::VectorFlag, data.bytes(), 4, 4);

  EXPECT_EQ(&element.Integer32(3), reinterpret_cast<int32_t*>(data.bytes()) + 3);
  EXPECT_EQ(&element.Integer(3), reinterpret_cast<int32_t*>(data.bytes()) + 3);
  EXPECT_EQ(&element.Integer32(-1), reinterpret_cast<int32_t*>(data.bytes()) - 1); // unchecked
  EXPECT_TRUE(Reports().empty());

  auto expectFailure = [&](auto access, const char* text) {
    try {
      access();
      ADD_FAILURE() << "no exception for: " << text;
    } catch (int code) {
      EXPECT_EQ(code, VANT::ErrorException);
    }
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].text, text);
    EXPECT_EQ(reports[0].level, 2);
    EXPECT_EQ(reports[0].option, 2);
    EXPECT_TRUE(reports[0].flag);
  };
  expectFailure([&] { element.Integer32(4); },
                "Check error : Bad vector index during I/O element access.");
  expectFailure([&] { element.Float64(0); },
                "Check error : Incorrect typing during I/O element access.");
  expectFailure([&] { element.Text(); },
                "Check error : Incorrect typing during I/O element access.");
  expectFailure([&] { element.Matrix(); },
                "Check error : Incorrect typing during I/O element access.");
}

// ---- Types and filters ----------------------------------------------------------------------

TEST(DataTypeTest, CopiesOwnTheirNames) {
  VANTDataType original(Code::Structure, "VANTpcap_data_t", nullptr);
  VANTDataType copy(original);
  ASSERT_NE(copy.name1, original.name1);
  EXPECT_STREQ(copy.name1, "VANTpcap_data_t");
  EXPECT_EQ(copy.name2, nullptr);
  original.SetName1("other");
  EXPECT_STREQ(copy.name1, "VANTpcap_data_t");
  copy = original;
  EXPECT_STREQ(copy.name1, "other");
  copy.SetName1(copy.name1); // replacing a name by itself keeps it
  EXPECT_STREQ(copy.name1, "other");
  // The same text again keeps the very storage (a connected component may be reading it); a
  // new text or none replaces it.
  const char* storage = copy.name1;
  copy.SetName1(std::string("other").c_str());
  EXPECT_EQ(copy.name1, storage);
  copy.SetName1("third");
  EXPECT_STREQ(copy.name1, "third");
  copy.SetName2("");
  EXPECT_STREQ(copy.name2, "");
  copy.SetName2(nullptr);
  EXPECT_EQ(copy.name2, nullptr);
  const VANTDataTypeDef definition{Code::Integer64, "a", "b"};
  VANTDataType fromTable(definition);
  EXPECT_NE(fromTable.name2, definition.name2);
  EXPECT_STREQ(fromTable.name2, "b");
}

TEST(DataTypeFilterTest, MaskValueAndAcceptConditions) {
  using namespace VANT::Filter;
  const VANTDataType scalar(Code::Integer32);
  const VANTDataType vector(Code::Integer32 | VANT::VectorFlag);
  EXPECT_TRUE(ScalarInteger32.Accepts(scalar));
  EXPECT_FALSE(ScalarInteger32.Accepts(vector));
  EXPECT_FALSE(ScalarInteger32.Accepts(VANTDataType(Code::Integer32 | Code::Integer64)));
  EXPECT_TRUE(Integer32.Accepts(vector));
  EXPECT_TRUE(Numbers.Accepts(VANTDataType(Code::Float32)));
  EXPECT_FALSE(Numbers.Accepts(VANTDataType(Code::Text8)));
  EXPECT_TRUE(NonVectorNumbers.Accepts(scalar));
  EXPECT_FALSE(NonVectorNumbers.Accepts(vector));
  EXPECT_TRUE(UnsignedIntegers.Accepts(VANTDataType(Code::UnsignedInteger64)));
  EXPECT_FALSE(SignedIntegers.Accepts(VANTDataType(Code::UnsignedInteger64)));
  EXPECT_TRUE(Images.Accepts(VANTDataType(Code::Image)));
  EXPECT_TRUE(FixedRecords.Accepts(VANTDataType(Code::Record96B)));
}

TEST(DataTypeFilterTest, NamePatternsAndTheirExemptions) {
  const VANTDataTypeFilter filter(0, 0, Code::Structure | Code::PcapStream, "^VANTpcap_",
                                  "^v[0-9]+$");
  VANTDataType type(Code::PcapStream, "VANTpcap_data_t", "v2");
  EXPECT_TRUE(filter.Accepts(type));
  type.SetName2("w2");
  EXPECT_FALSE(filter.Accepts(type));
  type.flags |= VANT::NoName2Check;
  EXPECT_TRUE(filter.Accepts(type));
  type.SetName1(nullptr); // a pattern needs a name ...
  EXPECT_FALSE(filter.Accepts(type));
  type.flags |= VANT::NoName1Check; // ... unless the type is exempt
  EXPECT_TRUE(filter.Accepts(type));
  type.flags = Code::Text8 | VANT::NoName1Check | VANT::NoName2Check;
  EXPECT_FALSE(filter.Accepts(type)); // names never rescue the type word

  // A copy compiles its own patterns and agrees.
  const VANTDataTypeFilter copy(filter);
  EXPECT_TRUE(copy.Accepts(VANTDataType(Code::Structure, "VANTpcap_x", "v10")));
  EXPECT_FALSE(copy.Accepts(VANTDataType(Code::Structure, "pcap", "v10")));
}

} // namespace
