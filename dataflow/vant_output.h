#pragma once
// VANTOutput: the writing end of a connection. An output owns one FIFO of I/O elements, one
// shared data block sliced between them, its data type and its time-stamp history. Components
// write through the module's StartWriting/StopWriting; the engine connects and detaches inputs.
//
// Thread: the allocation operations run on the owning component's threads (start, Birth); the
//   engine's threads call the connection extensions.
// Ownership: the output shares its FIFO (elements and data block) with the readers that hold its
//   elements; see VANTOutputImplementation.
// Failure: allocation errors are reported and raise VANT::ErrorException (-5).

#include "dataflow/vant_data_type.h"

#include <cstdint>

class VANTInput;
class VANTIOMonitor;
template <int32_t N>
class VANTStackedString;

/// Abstract interface of an output. The order of the virtual operations is fixed.
class VANTOutput {
public:
  /// Allocates the data of every element: `isize` elements of the output type each; withData 1
  /// allocates the data block, 0 only sizes the elements.
  virtual void AllocOutputBuffer(int32_t isize, int32_t withData) = 0; // 0
  /// One IplImage per element modelled on `model` (header, ROI and pixels).
  virtual void AllocOutputBufferIplImage(const VANTIplImage* model, int32_t noData) = 0; // 1
  /// One image of `isize` bytes per element, with the format code at byte 40 and the extra word
  /// at byte 44 of its header.
  virtual void AllocOutputBufferImage(int32_t isize, int32_t w, int32_t h, uint32_t format,
                                      uint32_t extra, int32_t noData) = 0; // 2
  /// The same without a format code ("????") or extra word.
  virtual void AllocOutputBufferImage(int32_t isize, int32_t w, int32_t h,
                                      int32_t noData);                     // 3
  virtual void AllocOutputBufferMatrix(int32_t m, int32_t n) = 0;          // 4
  virtual void AllocOutputBufferByteBlock(const VANTByteBlock* model) = 0; // 5
  virtual VANTStackedString<40>& Name() = 0;                               // 6
  virtual uint32_t RunCounter() = 0;                                       // 7
  /// The FIFO's monitor interface, or null when there is no FIFO.
  virtual VANTIOMonitor* Monitor() = 0; // 8
  virtual void SetMark() = 0;           // 9
  virtual void ClearMark() = 0;         // 10
  virtual int32_t BytesPerSample() = 0; // 11
  /// FIFO items the writer can take without waiting.
  virtual int32_t FreeSlotCount() = 0;                           // 12
  virtual VANTDataType& Type() = 0;                              // 13
  virtual void SetTypeFlags(uint64_t flags) = 0;                 // 14
  virtual void SetName2(const char* name2) = 0;                  // 15
  virtual void SetName2(const VANTStackedString<40>& name2) = 0; // 16
  /// A copy of name2 of the type, empty when absent.
  virtual VANTStackedString<40> GetName2() = 0;         // 17
  virtual VANTStackedString<40> GetName2() const = 0;   // 18
  virtual void SetStructureName(const char* name1) = 0; // 19
  /// name1 of the type, or null.
  virtual const char* StructureName() = 0; // 20
  virtual ~VANTOutput() = default;         // 21

  // Engine extensions, after the fixed slots: the engine decides, the output applies.

  /// Connects `input` as reader `readerIndex` of this output's FIFO. `role` is the input's reader
  /// type (0 FIFO, 1 never-skipping, 2 last-or-next, 3 wait-for-next, 4 sampling); `readerByte`
  /// is the FIFO reader's subsampling minus 1, or the role for roles 3 and 4. Under the FIFO lock
  /// the reader's masks are set and its waiter slot reset; then the input joins the connected
  /// inputs, learns its FIFO, source and reader index, and its connect event is signalled.
  /// False (nothing changed) when that index is still taken (see EngineBusyReaders).
  virtual bool EngineConnect(VANTInput* input, uint32_t readerIndex, uint32_t role,
                             uint8_t readerByte) = 0;
  /// Detaches `input` without waiting for its reader: the input forgets the output and a blocked
  /// read wakes and waits for a new connection. A reader that reads or holds items keeps them
  /// (and its index stays taken) until it lets them go. A sequential reader's processing step
  /// that has begun goes on (it finds nothing more to read).
  virtual void EngineDisconnect(VANTInput* input) = 0;
  /// The reader indexes of this output's FIFO that cannot be given now: connected readers, and
  /// detached ones that still read or hold items.
  virtual uint32_t EngineBusyReaders() = 0;
};

inline void VANTOutput::AllocOutputBufferImage(int32_t isize, int32_t w, int32_t h,
                                               int32_t noData) {
  AllocOutputBufferImage(isize, w, h, 0x3F3F3F3FU, 0U, noData);
}
