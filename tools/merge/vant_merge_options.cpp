#include "tools/merge/vant_merge_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

#ifndef CORVEX_MERGE_VERSION
#define CORVEX_MERGE_VERSION "0.0.0"
#endif

namespace VANT {
namespace {

constexpr int64_t kMaxVectorSize = 65535;         // a PCAP element counts packets in 16 bits
constexpr int64_t kMinVectorLatency = 1000;       // the component refuses less than 1 ms
constexpr int64_t kMaxDuration = 1000000000000LL; // 11.5 days: far from any overflow
constexpr int64_t kManyInputs = 16;               // beyond this the default batch shrinks
constexpr int64_t kSmallestBatch = 16;
constexpr int64_t kLargestSnapLength = 262144;
constexpr int64_t kLargestKernelBufferMiB = 4096;
constexpr int64_t kLargestDelay = 3600LL * 1000000; // one hour

bool ParseCount(std::string_view text, int64_t& value) {
  if (text.empty() || text.front() < '0' || text.front() > '9') {
    return false;
  }
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

// Digits, optionally with one decimal point between digits ("4", "0.25", "2.5"): nothing else.
bool ParseDecimal(const std::string& text, double& value) {
  const size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "1" : text.substr(point + 1);
  auto digits = [](const std::string& part) {
    return !part.empty() && part.size() <= 12 &&
           std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(whole) || !digits(fraction)) {
    return false;
  }
  // from_chars reads in the C locale, whatever the program's locale says about decimal points.
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

struct OptionEntry {
  char id;        // what Apply switches on
  char shortName; // 0: long form only
  const char* longName;
  bool takesValue;
};

constexpr OptionEntry kOptions[] = {
    {'w', 'w', "write", true},
    {'b', 'b', "buffer", true},
    {'n', 'n', "vector-size", true},
    {'l', 'l', "vector-latency", true},
    {'f', 'f', "flush-delay", true},
    {'B', 0, "batch", true},
    {'P', 0, "pace", true},
    {'p', 0, "package", true},
    {'q', 'q', "quiet", false},
    {'h', 'h', "help", false},
    {'V', 'V', "version", false},
    // A live merge.
    {'i', 'i', "interface", true},
    {'c', 'c', "count", true},
    {'a', 'a', "autostop", true},
    {'s', 's', "snaplen", true},
    {'m', 'p', "no-promiscuous", false},
    {'k', 'B', "kernel-buffer", true},
    {'F', 0, "filter", true},
    {'D', 0, "delay", true},
    {'I', 0, "immediate", false},
};

// Options that only a merge of files takes, and those that only a live merge takes.
constexpr char kFileOnly[] = "bnlfP";
constexpr char kLiveOnly[] = "casmkFDI";

bool IsOneOf(char id, const char* ids) {
  return std::string_view(ids).find(id) != std::string_view::npos;
}

const OptionEntry* FindShort(char name) {
  for (const OptionEntry& entry : kOptions) {
    if (entry.shortName != 0 && entry.shortName == name) {
      return &entry;
    }
  }
  return nullptr;
}

const OptionEntry* FindLong(std::string_view name) {
  for (const OptionEntry& entry : kOptions) {
    if (name == entry.longName) {
      return &entry;
    }
  }
  return nullptr;
}

std::string Display(const OptionEntry& entry) {
  return entry.shortName != 0 ? std::string("-") + entry.shortName + "/--" + entry.longName
                              : std::string("--") + entry.longName;
}

// Applies one option with its value; an empty string on success, else the error.
std::string Apply(const OptionEntry& entry, const std::string& value, MergeCommand& command) {
  MergeOptions& options = command.options;
  const std::string name = Display(entry);
  int64_t number = 0;
  switch (entry.id) {
  case 'w':
    if (value.empty()) {
      return name + " needs a file name";
    }
    options.output = value;
    return {};
  case 'b':
    if (!ParseCount(value, number)) {
      return name + " wants a number of packets (0 or more), not '" + value + "'";
    }
    options.bufferPacketCount = number;
    return {};
  case 'n':
    if (!ParseCount(value, number) || number < 1 || number > kMaxVectorSize) {
      return name + " wants a number of packets from 1 to 65535, not '" + value + "'";
    }
    options.vectorMaxSize = number;
    return {};
  case 'l':
    if (!ParseDuration(value, number) || number < kMinVectorLatency) {
      return name + " wants a duration from 1ms to 1000000s (e.g. 100ms, 5s), not '" + value + "'";
    }
    options.vectorMaxLatency = number;
    return {};
  case 'f':
    if (!ParseDuration(value, number)) {
      return name + " wants a duration up to 1000000s (e.g. 0, 500ms, 2s), not '" + value + "'";
    }
    options.flushDelay = number;
    return {};
  case 'B':
    if (!ParseCount(value, number) || number < 1 || number > kMaxVectorSize) {
      return name + " wants a number of packets from 1 to 65535, not '" + value + "'";
    }
    options.packetsPerElement = number;
    return {};
  case 'P': {
    double factor = 0;
    if (!ParseDecimal(value, factor) || factor < 0.001 || factor > 1000000) {
      return name + " wants a speed factor from 0.001 to 1000000 (1 = capture time), not '" +
             value + "'";
    }
    options.pace = factor;
    return {};
  }
  case 'p':
    if (value.empty()) {
      return name + " needs a file name";
    }
    options.package = value;
    return {};
  case 'q':
    options.quiet = true;
    return {};
  case 'h':
    command.action = MergeCommand::Action::kHelp;
    return {};
  case 'V':
    if (command.action != MergeCommand::Action::kHelp) {
      command.action = MergeCommand::Action::kVersion;
    }
    return {};
  case 'i':
    if (value.empty()) {
      return name + " needs an interface name";
    }
    if (std::find(options.interfaces.begin(), options.interfaces.end(), value) !=
        options.interfaces.end()) {
      return "the interface " + value + " is given twice";
    }
    options.interfaces.push_back(value);
    return {};
  case 'c':
    if (!ParseCount(value, number) || number < 1) {
      return name + " wants a number of packets (1 or more), not '" + value + "'";
    }
    options.packetLimit = static_cast<uint64_t>(number);
    return {};
  case 'a': {
    static constexpr std::string_view kDuration = "duration:";
    if (value.rfind(kDuration, 0) != 0) {
      return name + " takes duration:N (seconds, or with a unit: duration:500ms), not '" + value +
             "'; to stop after a number of packets use -c";
    }
    const std::string amount = value.substr(kDuration.size());
    const bool bare = !amount.empty() && std::all_of(amount.begin(), amount.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    if (!ParseDuration(bare ? amount + "s" : amount, number) || number < 1) {
      return name +
             " wants a whole duration above 0 after duration: (duration:10, duration:2500ms), "
             "not '" +
             value + "'";
    }
    options.duration = number;
    return {};
  }
  case 's':
    if (!ParseCount(value, number) || number < 1 || number > kLargestSnapLength) {
      return name + " wants a number of bytes from 1 to 262144, not '" + value + "'";
    }
    options.snapLength = static_cast<uint32_t>(number);
    return {};
  case 'm':
    options.promiscuous = false;
    return {};
  case 'k':
    if (!ParseCount(value, number) || number < 1 || number > kLargestKernelBufferMiB) {
      return name + " wants a size in MiB from 1 to 4096, not '" + value + "'";
    }
    options.kernelBufferMiB = number;
    return {};
  case 'F':
    if (value.empty()) {
      return name + " needs a filter expression";
    }
    options.filter = value;
    return {};
  case 'D':
    if (!ParseDuration(value, number) || number < kMinVectorLatency || number > kLargestDelay) {
      return name + " wants a duration from 1ms to 1h (e.g. 50ms, 2s), not '" + value + "'";
    }
    options.delayBound = number;
    return {};
  case 'I':
    options.immediate = true;
    return {};
  default:
    return "internal error: unhandled option " + name;
  }
}

// The rest of a live merge's command line: no files, none of the options of a merge of files,
// and the multiplexer set to write every element as it reads it.
MergeCommand FinishLive(MergeCommand& command, bool explicitBatch, const std::string& fileOnly) {
  MergeOptions& options = command.options;
  auto fail = [&command](std::string error) {
    command.action = MergeCommand::Action::kUsageError;
    command.error = std::move(error);
    return command;
  };
  if (!options.inputs.empty()) {
    return fail("capture interfaces (-i) and capture files (" + options.inputs.front() +
                ") cannot be merged in one run: capture into a file first, then merge the files");
  }
  if (!fileOnly.empty()) {
    return fail(fileOnly +
                " is for merging files: a live merge holds nothing back and writes each packet "
                "once no earlier one can come (see --delay)");
  }
  if (!explicitBatch) {
    options.packetsPerElement = kLiveBatch;
  }
  // The captures hand their packets over in time order, one element at a time: the multiplexer
  // writes each element whole as it reads it.
  options.bufferPacketCount = 0;
  options.vectorMaxSize = options.packetsPerElement;
  options.vectorMaxLatency = kLiveVectorLatency;
  options.flushDelay = 0;
  return command;
}

} // namespace

bool ParseDuration(const std::string& text, int64_t& microseconds) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    ++digits;
  }
  int64_t value = 0;
  if (!ParseCount(std::string_view(text).substr(0, digits), value)) {
    return false;
  }
  const std::string_view unit = std::string_view(text).substr(digits);
  int64_t scale = 0;
  if (unit.empty() || unit == "us") {
    scale = 1;
  } else if (unit == "ms") {
    scale = 1000;
  } else if (unit == "s") {
    scale = 1000000;
  } else if (unit == "min") {
    scale = 60000000;
  } else if (unit == "h") {
    scale = 3600000000;
  } else {
    return false;
  }
  if (value > kMaxDuration / scale) {
    return false;
  }
  microseconds = value * scale;
  return true;
}

MergeCommand ParseMergeCommandLine(const std::vector<std::string>& arguments) {
  MergeCommand command;
  command.action = MergeCommand::Action::kRun;
  bool explicitBuffer = false;
  bool explicitVectorSize = false;
  bool explicitBatch = false;
  std::string fileOnly; // the first option given that only a merge of files takes
  std::string liveOnly; // the first option given that only a live merge takes
  auto fail = [&command](std::string error) {
    command.action = MergeCommand::Action::kUsageError;
    command.error = std::move(error);
    return command;
  };

  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      command.options.inputs.push_back(argument); // "-" alone is an operand too
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const OptionEntry* entry = nullptr;
    std::string value;
    bool hasValue = false;
    if (argument[1] == '-') {
      const std::string body = argument.substr(2);
      const size_t equals = body.find('=');
      entry = FindLong(std::string_view(body).substr(0, equals));
      if (entry == nullptr) {
        return fail("unknown option '--" + body.substr(0, equals) + "'");
      }
      if (equals != std::string::npos) {
        if (!entry->takesValue) {
          return fail("option '--" + std::string(entry->longName) + "' takes no value");
        }
        value = body.substr(equals + 1);
        hasValue = true;
      }
    } else {
      // Short options may be grouped (-qV) and may carry their value attached (-wout.pcap).
      for (size_t at = 1; at < argument.size(); ++at) {
        entry = FindShort(argument[at]);
        if (entry == nullptr) {
          return fail(std::string("unknown option '-") + argument[at] + "'");
        }
        if (entry->takesValue) {
          if (at + 1 < argument.size()) {
            value = argument.substr(at + 1);
            hasValue = true;
          }
          break;
        }
        if (at + 1 < argument.size()) {
          if (std::string error = Apply(*entry, {}, command); !error.empty()) {
            return fail(error);
          }
        }
      }
    }
    if (entry == nullptr) { // not reached: both branches above set it or return
      return fail("unknown option '" + argument + "'");
    }
    if (entry->takesValue && !hasValue) {
      if (i + 1 >= arguments.size()) {
        return fail("option " + Display(*entry) + " needs a value");
      }
      value = arguments[++i];
    }
    if (std::string error = Apply(*entry, value, command); !error.empty()) {
      return fail(error);
    }
    if (fileOnly.empty() && IsOneOf(entry->id, kFileOnly)) {
      fileOnly = Display(*entry);
    }
    if (liveOnly.empty() && IsOneOf(entry->id, kLiveOnly)) {
      liveOnly = Display(*entry);
    }
    explicitBuffer = explicitBuffer || entry->id == 'b';
    explicitVectorSize = explicitVectorSize || entry->id == 'n';
    explicitBatch = explicitBatch || entry->id == 'B';
  }

  if (command.action != MergeCommand::Action::kRun) {
    return command; // --help and --version need nothing else
  }
  if (command.options.output.empty()) {
    return fail("no output file: give one with -w OUT.pcap");
  }
  if (command.options.Live()) {
    return FinishLive(command, explicitBatch, fileOnly);
  }
  if (command.options.inputs.empty()) {
    return fail("no input file (or -i IFACE to capture network interfaces)");
  }
  if (!liveOnly.empty()) {
    return fail(liveOnly + " is for a live merge: give the interfaces with -i IFACE");
  }
  if (std::count(command.options.inputs.begin(), command.options.inputs.end(), "-") > 1) {
    return fail("standard input (-) can be read only once");
  }
  const bool paced = command.options.pace > 0;
  if (paced && !explicitBatch) {
    // Played in capture time, packets leave one by one as they are due; small elements keep
    // the reorder buffer (and so the delay of the output) small.
    command.options.packetsPerElement = 1;
  }
  const auto inputs = static_cast<int64_t>(command.options.inputs.size());
  if (!explicitBatch && inputs > kManyInputs) {
    // Each player holds a few elements of packets: smaller ones keep many inputs within memory.
    command.options.packetsPerElement = std::max<int64_t>(kSmallestBatch, 4096 / inputs);
  }
  if (!explicitVectorSize && command.options.vectorMaxSize < command.options.packetsPerElement) {
    // An output element takes at least what an input element brings, or the buffer grows.
    command.options.vectorMaxSize = command.options.packetsPerElement;
  } else if (!explicitBatch && command.options.packetsPerElement > command.options.vectorMaxSize) {
    // The multiplexer writes one output element per element it reads: with smaller output
    // elements than the players' its queue would grow with the input. Smaller input elements
    // keep it within the buffer.
    command.options.packetsPerElement = command.options.vectorMaxSize;
  }
  if (!explicitBuffer) {
    // The players keep in step, so that every input holds at most one element ahead of the
    // earliest unsent packet: room for that several times over makes the merge exact. A paced
    // merge holds back no more than that, since what is held back leaves late.
    const int64_t wanted =
        4 * static_cast<int64_t>(command.options.inputs.size()) * command.options.packetsPerElement;
    if (wanted > command.options.bufferPacketCount || paced) {
      command.options.bufferPacketCount = wanted;
    }
  }
  return command;
}

std::string MergeUsageText() {
  return "usage: corvex-merge [options] -w OUT.pcap|- IN1|- [IN2 ...]\n"
         "       corvex-merge [options] -w OUT.pcap|- -i IFACE [-i IFACE ...]\n"
         "       corvex-merge --help | --version\n";
}

std::string MergeHelpText() {
  std::string text = MergeUsageText();
  text += R"(
Merges capture files, or the packets of network interfaces as they are captured, into one
capture whose packets are in time order, through the SortingMultiplexer component of
corvex_sorting_multiplexer.pck: one file player per input (or one live capture per interface),
the multiplexer, and a recorder writing OUT.pcap (classic pcap, microseconds).

Inputs: pcap (microseconds or nanoseconds, either byte order) and pcapng, also compressed with
gzip (.gz) or zstd (.zst); regular files, pipes, FIFOs, process substitutions, or - for the
standard input (once). Each input is opened once and read as a stream. Every input must have
one link type, the same for all. Packets are never cut: the output's snapshot length is at
least the largest captured length written. The output keeps microseconds: finer times
(nanosecond files) are truncated, and the summary says so.

Output: -w FILE writes a new file next to FILE and renames it over FILE only when the merge
succeeded, so a failed or interrupted merge leaves the old FILE (or none) as it was; a symbolic
link stays a link and its target is replaced. -w - writes to the standard output, and a pipe,
a terminal or a device is written straight; the progress line and the summary always go to
the standard error.

Options:
  -w, --write FILE          output capture file, or - for the standard output (required)
  -b, --buffer N            packets held back for reordering (buffer_packet_count);
                            default 8192, or 4 x inputs x batch when that is larger
                            (with --pace: 4 x inputs x batch)
  -n, --vector-size N       most packets per output element (vector_max_size), 1 to 65535;
                            default 1024, or the batch when that is larger; a smaller N
                            also makes the batch N, unless --batch is given
  -l, --vector-latency D    longest time span inside one output element
                            (vector_max_latency), 1ms to 1000000s; default 86400s.
                            The multiplexer writes one output element per element it
                            reads, so a D shorter than the span of a player's element (or
                            a --batch above -n) makes it hold more than -b packets, up to
                            the whole input: use --batch 1 with a short D
  -f, --flush-delay D       wait after the last end of file before the final flush
                            (flush_delay), at most 1000000s; default 0
      --batch N             packets per element sent by each file player; default 256,
                            or 4096 / inputs (at least 16) for more than 16 inputs, or 1
                            with --pace
      --pace X              play the inputs at X times capture speed (1 = as captured,
                            0.001 to 1000000, digits with an optional decimal point);
                            each output element is written as it comes; default: as fast as
                            the inputs can be read
      --package FILE        the package file (default: $CORVEX_PACKAGE when set, else
                            corvex_sorting_multiplexer.pck found from this program's
                            folder: in ../lib/corvex/packages/ (installed), else in ..
                            (the build folder, in a build tree); never the current folder)
  -q, --quiet               no progress line, no summary and no warnings (errors still show)
  -h, --help                this text
  -V, --version             the version

Live merge: -i IFACE, once per network interface, captures the interfaces (through libpcap,
with the kernel's capture times) and merges their packets as they come, until Ctrl-C, -c or
-a. Then every packet captured up to that moment is written and the file is finished: Ctrl-C
is the normal end of a live merge and exits with 0. Interfaces and capture files cannot be
merged in one run, and -b, -n, -l, -f and --pace are for files only.

Latency bound: the multiplexer holds nothing back (buffer 0); a capture hands a packet over
only once no earlier packet can come from another interface: each other interface has handed
over a later one, or is idle and D has passed since the packet's capture time. So every packet
is written at most D (--delay, 100ms by default) after it was captured, plus the time the
merge takes to pass it on (well under a millisecond on an idle machine, as long as it keeps up
with the packet rate), and never before an earlier packet of another interface. This holds as
long as the system hands each packet to its capture within D of its capture time; a packet
that comes later is counted as late in the summary and may be written out of order: then
raise --delay.

Live options:
  -i, --interface IFACE     capture this network interface (once per interface)
  -c, --count N             stop after N packets written
  -a, --autostop duration:N stop after N seconds (or a duration with a unit:
                            duration:500ms, duration:5min)
      --delay D             the delivery bound D (see above), 1ms to 1h; default 100ms
  -s, --snaplen N           bytes kept of each packet, 1 to 262144; default 262144
  -p, --no-promiscuous      leave the interfaces out of promiscuous mode
  -B, --kernel-buffer MIB   the kernel's capture buffer of each interface, in MiB, 1 to
                            4096; default 8
      --filter EXPR         capture filter in the usual expression language, for every
                            interface (e.g. "udp port 53", "ether proto 0x88b5")
      --immediate           the kernel hands every packet over as it comes rather than in
                            blocks of at most a tenth of --delay (1 to 10 ms) (lower
                            latency, but its buffer then holds whole frames: for bursts give
                            a larger -B or a smaller -s)
      --batch N             also: the most packets per element of each capture; default 1024
The summary shows, per interface, the packets and bytes written, the packets the kernel
dropped, late packets, and the time from capture to write (median, 99th percentile, maximum).

Durations are whole numbers in microseconds, or with a unit: us, ms, s, min or h (250ms, 2s,
5min, 1h).

Why the defaults differ from the component's (buffer 100, vector size 1, latency 100ms,
flush delay 500ms, made for live streams): an offline merge reads files as fast as it can, so
  - the file players keep in step (none sends an element that starts after the first unsent
    packet of another; of equal times the earlier input goes first), so every input is at most
    one element ahead of the earliest packet still to come; the buffer holds that several
    times over, and for time-sorted inputs the merge is exact and the same bytes every run,
    however the threads are scheduled: equal times leave in input order, and in the order
    read within one input;
  - an output element takes at least as many packets as an input element brings, and the
    latency limit is far out of the way, so each read is matched by a write and the buffer
    never grows past its size: memory stays bounded whatever the length of the inputs;
  - the files are over when their players say so: no need to wait before the final flush.

Exit status:
  0    merged; the output is in time order (a live merge also when ended by Ctrl-C)
  1    an input could not be read (missing, unreadable, not a capture, truncated or
       damaged, different link types), the output could not be written, or the merge failed
  2    usage error
  3    merged, every packet written, but the output is not in time order: an input was
       more out of order than the buffer holds (the summary tells which -b would do), or
       in a live merge packets came later than --delay allows
  128+N  stopped by signal N (130 Ctrl-C/SIGINT, 129 SIGHUP, 131 SIGQUIT, 141 SIGPIPE when
       the reader of the output went away, 143 SIGTERM)
A merge that fails or is stopped leaves no output file behind, and an old one untouched
(Ctrl-C ends a live merge normally; a second Ctrl-C stops it at once).
)";
  return text;
}

std::string MergeVersionText() {
  return std::string("corvex-merge ") + CORVEX_MERGE_VERSION +
         " (SortingMultiplexer through the Corvex engine stand-in)\n";
}

} // namespace VANT
