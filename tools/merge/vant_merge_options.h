#pragma once
// The command line of corvex-merge: what it accepts, its defaults for an offline merge and for a
// live one, and the texts of --help and --version. Parsing never prints and never exits: the
// caller decides.
//
//   corvex-merge [options] -w OUT.pcap IN1 [IN2 ...]
//   corvex-merge [options] -w OUT.pcap -i IFACE [-i IFACE ...]

#include <cstdint>
#include <string>
#include <vector>

namespace VANT {

/// A live merge: the packets a capture packs into one element by default, and the multiplexer's
/// output latency (none: the captures hand over their packets in time order, one element at a
/// time, and each is written whole as it is read).
inline constexpr int64_t kLiveBatch = 1024;
inline constexpr int64_t kLiveVectorLatency = int64_t{86400} * 1000000;

/// Everything the command needs to run one merge.
struct MergeOptions {
  std::string output;              // -w
  std::vector<std::string> inputs; // operands, in command-line order
  std::string package;             // --package; empty: look in the usual places

  // The multiplexer's properties, with the defaults of an offline merge (the component's own
  // defaults suit live streams; MergeHelpText explains the difference).
  int64_t bufferPacketCount = 8192;             // buffer_packet_count
  int64_t vectorMaxSize = 1024;                 // vector_max_size
  int64_t vectorMaxLatency = 86400LL * 1000000; // vector_max_latency, microseconds (one day)
  int64_t flushDelay = 0;                       // flush_delay, microseconds

  int64_t packetsPerElement = 256; // packets the file players (or captures) pack into one element
  double pace = 0;                 // > 0: play the inputs at this multiple of capture time
  bool quiet = false;

  // A live merge (-i): the interfaces in command-line order, how they are captured, and when
  // the merge ends (besides Ctrl-C).
  std::vector<std::string> interfaces;
  uint32_t snapLength = 262144; // -s
  int64_t kernelBufferMiB = 8;  // -B
  bool promiscuous = true;      // -p clears it
  bool immediate = false;       // --immediate
  std::string filter;           // --filter
  int64_t delayBound = 100000;  // --delay, microseconds
  uint64_t packetLimit = 0;     // -c; 0: none
  int64_t duration = 0;         // -a duration:N, microseconds; 0: none

  bool Live() const noexcept { return !interfaces.empty(); }
};

struct MergeCommand {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kUsageError;
  MergeOptions options;
  std::string error; // for kUsageError: what was wrong, in one line
};

/// Parses the arguments that follow the program name.
MergeCommand ParseMergeCommandLine(const std::vector<std::string>& arguments);

/// Reads a duration: a non-negative integer followed by an optional unit "us", "ms", "s", "min"
/// or "h" (microseconds without a unit). False on anything else or on overflow.
bool ParseDuration(const std::string& text, int64_t& microseconds);

/// The short usage lines shown after a usage error.
std::string MergeUsageText();
/// The whole --help text.
std::string MergeHelpText();
/// The --version text.
std::string MergeVersionText();

} // namespace VANT
