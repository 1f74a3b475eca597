#pragma once
// The texts of the SortingMultiplexer component, defined once: the component reports them, and
// corvex-merge, which runs the component out of the package file, tells its reports apart by
// them. Header only, so that a program may include it without linking the component.

namespace VANT {

/// The model name under which the package hands out the component.
inline constexpr const char kSortingMultiplexerModel[] = "SortingMultiplexer";

/// Texts of the component.
namespace MuxText {
inline constexpr const char kNbInputs[] = "Number of inputs has to be >= 1";
inline constexpr const char kBufferCount[] = "buffer_packet_count must be >= 0";
inline constexpr const char kNotConnected[] = "All inputs have to be connected and of same type!";
inline constexpr const char kWentWrong[] = "Something went wrong!";
inline constexpr const char kVectorMaxSize[] = "vector_max_size must be >= 1";
inline constexpr const char kVectorMaxLatency[] = "vector_max_latency must be >= 1 ms";
inline constexpr const char kLinkTypes[] = "Cannot multiplex different link_types!";
inline constexpr const char kFlushDelay[] = "Flush Delay reached";
inline constexpr const char kFlushing[] = "Flushing queue";
inline constexpr const char kFinished[] = "Finished writing";
/// "The signal with the timestamp <time> has wrong order!": an item written before the one
/// written last.
inline constexpr const char kWrongOrderHead[] = "The signal with the timestamp ";
inline constexpr const char kWrongOrderTail[] = " has wrong order!";
/// "Wrong order count: <n> (maximum time-jump: <duration>). Please, adjust buffer size!": the
/// run's total, reported at Death.
inline constexpr const char kWrongOrderCount[] = "Wrong order count: ";
inline constexpr const char kMaxTimeJump[] = " (maximum time-jump: ";
inline constexpr const char kAdjustBuffer[] = "). Please, adjust buffer size!";
inline constexpr const char kLost[] = " data were still in the buffer and got lost ";
inline constexpr const char kUntyped[] = "Cannot multiplex data of undefined type!";
inline constexpr const char kPcapNoHeader[] =
    "Unable to read PCAP data in input data. \nData state is inconsistent: the element is too "
    "small to hold a VANTpcap_data_t header. \nThe component developer should check that the "
    "pcap_data data access objects are used correctly and contact Sorvaline S.A.S if the problem "
    "persists.";
} // namespace MuxText

} // namespace VANT
