#pragma once
// VANTIOElt: one sample travelling from an output to the inputs connected to it. A block of typed
// data (not owned by the element) plus its sizes, two time stamps, its data type and a few
// auxiliary words that the runtime carries but never interprets.
//
// Thread: an element is filled by its output's writer between StartWriting and StopWriting and
//   read, read-only, by the readers that took it; the FIFO's state words say who may touch it.
// Ownership: the FIFO constructs its elements once and keeps them; the data block belongs to the
//   output (or to whoever allocated it, e.g. a Deserialize call with mayAllocate).
// Failure: the typed accessors check the access when the host's check level is above 0; a
//   failed check is reported as an error and raises VANT::ErrorException (-5). Serialize and
//   Deserialize never throw: they report and return 0xFFFFFFFF.

#include "dataflow/vant_data_type.h"

#include <cstdint>

/// Abstract interface of an I/O element. The order of the virtual operations is fixed.
class VANTIOElt {
public:
  virtual void*& Data() = 0;                       // 0
  virtual int64_t& TimeOfIssue() = 0;              // 1
  virtual int64_t& Timestamp() = 0;                // 2
  virtual int32_t& VectorSize() = 0;               // 3
  virtual int32_t& BufferSize() = 0;               // 4
  virtual uint64_t& AuxValue() = 0;                // 5
  virtual uint32_t& AuxWord() = 0;                 // 6
  virtual VANTDataType& Type() = 0;                // 7
  virtual int32_t& RuntimeWord() = 0;              // 8
  virtual int32_t& Integer(int32_t i);             // 9: same as Integer32
  virtual int32_t& Integer32(int32_t i) = 0;       // 10
  virtual int64_t& Integer64(int32_t i) = 0;       // 11
  virtual double& Float64(int32_t i) = 0;          // 12
  virtual float& Float32(int32_t i) = 0;           // 13
  virtual char* Text() = 0;                        // 14
  virtual char* TextBuffer() = 0;                  // 15
  virtual char16_t* Text16() = 0;                  // 16
  virtual VANTIplImage* IplImage() = 0;            // 17
  virtual VANTImage* Image() = 0;                  // 18
  virtual VANTRecord24* Record24(int32_t i) = 0;   // 19
  virtual VANTMatrix* Matrix() = 0;                // 20
  virtual VANTRecord320* Record320(int32_t i) = 0; // 21
  virtual VANTRecord96* Record96(int32_t i) = 0;   // 22
  virtual VANTTripleArray* TripleArray() = 0;      // 23
  virtual uint8_t* UnsignedInteger8() = 0;         // 24
  virtual uint16_t* UnsignedInteger16() = 0;       // 25
  virtual uint32_t* UnsignedInteger32() = 0;       // 26
  virtual VANTByteBlock* ByteBlock() = 0;          // 27
  virtual uint32_t& UserWord1() = 0;               // 28
  virtual uint32_t& UserWord2() = 0;               // 29
  virtual uint32_t& UserWord3() = 0;               // 30
  /// Bytes of the data block by BufferSize (0 when Data is null; 0xFFFFFFFF for Custom).
  virtual uint32_t AllocatedDataSize() = 0; // 31
  /// Bytes in use by VectorSize (0 when Data is null; 0xFFFFFFFF for Custom and unknown codes).
  /// *isPlain, when given, receives 1 for plain types and 0 for structured and Custom types.
  virtual uint32_t UsedDataSize(int32_t* isPlain = nullptr) = 0; // 32
  /// Writes the element as a flat record. Null destination: returns the size needed.
  virtual uint32_t Serialize(void* destination, uint32_t capacity) = 0; // 33
  /// Reads a record written by Serialize. Trusts the lengths inside the record: use the bounded
  /// form below for anything that did not come from this process.
  virtual uint32_t Deserialize(const void* source, bool mayAllocate) = 0; // 34
  virtual ~VANTIOElt() = default;                                         // 35

  // Extensions of this runtime, after the fixed slots.

  /// As Deserialize, but refuses (report, 0xFFFFFFFF) any record whose names, sizes or
  /// sub-blocks would reach beyond the `available` bytes at `source`.
  virtual uint32_t Deserialize(const void* source, uint32_t available, bool mayAllocate) = 0;
};

inline int32_t& VANTIOElt::Integer(int32_t i) {
  return Integer32(i);
}

class VANTOutputImplementation;
struct VANTFastIOItem;

namespace VANT {
/// Format version of the serialised record written by VANTIOElt::Serialize.
inline constexpr uint32_t kIOEltFormatVersion = 102;
/// Bytes of the record's fixed part (without names and data).
inline constexpr uint32_t kIOEltRecordFixedSize = 68;
/// Result of Serialize and Deserialize on failure.
inline constexpr uint32_t kIOEltFailure = 0xFFFFFFFFU;
} // namespace VANT

/// VANTIOEltImplementation: the only implementation of VANTIOElt.
///
/// Thread: as VANTIOElt; the typed accessors read the host's check level on every call.
/// Ownership: owns the two type names, never the data block. A block allocated by Deserialize
///   (mayAllocate, Data null) belongs to the caller and is freed with std::free.
class VANTIOEltImplementation final : public VANTIOElt {
public:
  VANTIOEltImplementation() noexcept = default;
  ~VANTIOEltImplementation() override = default;
  VANTIOEltImplementation(const VANTIOEltImplementation&) = delete;
  VANTIOEltImplementation& operator=(const VANTIOEltImplementation&) = delete;

  void*& Data() override { return m_data; }
  int64_t& TimeOfIssue() override { return m_timeOfIssue; }
  int64_t& Timestamp() override { return m_timestamp; }
  int32_t& VectorSize() override { return m_vectorSize; }
  int32_t& BufferSize() override { return m_bufferSize; }
  uint64_t& AuxValue() override { return m_auxValue; }
  uint32_t& AuxWord() override { return m_auxWord; }
  VANTDataType& Type() override { return m_type; }
  int32_t& RuntimeWord() override { return m_runtimeWord; }
  int32_t& Integer32(int32_t i) override;
  int64_t& Integer64(int32_t i) override;
  double& Float64(int32_t i) override;
  float& Float32(int32_t i) override;
  char* Text() override;
  char* TextBuffer() override;
  char16_t* Text16() override;
  VANTIplImage* IplImage() override;
  VANTImage* Image() override;
  VANTRecord24* Record24(int32_t i) override;
  VANTMatrix* Matrix() override;
  VANTRecord320* Record320(int32_t i) override;
  VANTRecord96* Record96(int32_t i) override;
  VANTTripleArray* TripleArray() override;
  uint8_t* UnsignedInteger8() override;
  uint16_t* UnsignedInteger16() override;
  uint32_t* UnsignedInteger32() override;
  VANTByteBlock* ByteBlock() override;
  uint32_t& UserWord1() override { return m_userWord1; }
  uint32_t& UserWord2() override { return m_userWord2; }
  uint32_t& UserWord3() override { return m_userWord3; }
  uint32_t AllocatedDataSize() override;
  uint32_t UsedDataSize(int32_t* isPlain = nullptr) override;
  uint32_t Serialize(void* destination, uint32_t capacity) override;
  uint32_t Deserialize(const void* source, bool mayAllocate) override;
  uint32_t Deserialize(const void* source, uint32_t available, bool mayAllocate) override;

  /// Bytes per element of a plain type code; 0 for structured, Custom and unknown codes.
  static uint32_t PlainElementSize(uint64_t code) noexcept;

  // Runtime bookkeeping: the output whose FIFO holds the element and the FIFO item carrying it.
  VANTOutputImplementation* Owner() const noexcept { return m_owner; }
  void SetOwner(VANTOutputImplementation* owner) noexcept { m_owner = owner; }
  VANTFastIOItem* Slot() const noexcept { return m_slot; }
  void SetSlot(VANTFastIOItem* slot) noexcept { m_slot = slot; }

private:
  uint32_t DeserializeRecord(const void* source, uint64_t available, bool mayAllocate);
  uint8_t* CheckedAddress(const VANTDataTypeFilter& filter, bool indexed, int32_t index,
                          uint32_t elementSize);

  void* m_data = nullptr;
  int32_t m_bufferSize = 0;
  int32_t m_vectorSize = 0;
  int64_t m_timestamp = 0;
  int64_t m_timeOfIssue = 0;
  VANTDataType m_type;
  uint64_t m_auxValue = 0;
  uint32_t m_auxWord = 0;
  VANTOutputImplementation* m_owner = nullptr;
  VANTFastIOItem* m_slot = nullptr;
  int32_t m_runtimeWord = 0;
  uint32_t m_userWord1 = 0;
  uint32_t m_userWord2 = 0;
  uint32_t m_userWord3 = 0;
};
