#pragma once
// VANTInput: the reading end of a connection. Once connected, the input has the output's FIFO
// and a reader index in it; its reader type decides how it sees the FIFO. Components read with
// the module's StartReading family and give elements back with StopReading.
//
// Thread: read operations run on the owning component's threads; the engine's threads connect
//   and detach. The queries below take the FIFO lock and nothing else; they never block on data.

#include <cstdint>

class VANTOutput;
class VANTDataType;
template <int32_t N>
class VANTStackedString;

namespace VANT {
/// Reader types: the value of an input's reader type and of its ".readerType" property.
enum ReaderType : uint32_t {
  FifoReader = 0,          // every published sample in order, unless overwritten
  NeverSkippingReader = 1, // every sample in order; the writer waits for this reader
  LastOrNextReader = 2,    // the newest sample not yet read; older unread ones are skipped
  Wait4NextReader = 3,     // always waits for the next publication
  SamplingReader = 4,      // the newest published sample at once, possibly one already read
};
} // namespace VANT

/// Abstract interface of an input. The order of the virtual operations is fixed.
class VANTInput {
public:
  /// True while connected to an output.
  virtual bool IsConnected() = 0; // 0
  /// The connected output, or null.
  virtual VANTOutput* Source() = 0; // 1
  /// The connected output's data type, or null while unconnected.
  virtual VANTDataType* SourceType() = 0;    // 2
  virtual VANTStackedString<40>& Name() = 0; // 3
  virtual const char* ShortName() = 0;       // 4
  /// Whether a read would find a sample now (for FIFO readers: one newer than the last read).
  virtual bool DataAvailable() = 0; // 5
  /// Readable samples not yet read by this reader (FIFO readers), or all readable samples.
  virtual int32_t AvailableCount() = 0; // 6
  virtual ~VANTInput() = default;       // 7
  /// A copy of the connected output's type, taken under the connection's lock: unlike the
  /// pointer of SourceType(), it stays valid when the output's component retypes the output or
  /// the output goes. False (and `type` untouched) while unconnected.
  virtual bool CopySourceType(VANTDataType* type) = 0; // 8
};
