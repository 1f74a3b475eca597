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
