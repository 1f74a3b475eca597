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
    {'w', 'w', "write", true},       {'b', 'b', "buffer", true},
    {'n', 'n', "vector-size", true}, {'l', 'l', "vector-latency", true},
    {'f', 'f', "flush-delay", true}, {'B', 0, "batch", true},
    {'P', 0, "pace", true},          {'p', 0, "package", true},
    {'q', 'q', "quiet", false},      {'h', 'h', "help", false},
    {'V', 'V', "version", false},
};

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
      return name + " wants a duration of at least 1ms (e.g. 100ms, 5s), not '" + value + "'";
    }
    options.vectorMaxLatency = number;
    return {};
  case 'f':
    if (!ParseDuration(value, number)) {
      return name + " wants a duration (e.g. 0, 500ms, 2s), not '" + value + "'";
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
  default:
    return "internal error: unhandled option " + name;
  }
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
  if (command.options.inputs.empty()) {
    return fail("no input file");
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
         "       corvex-merge --help | --version\n";
}

std::string MergeHelpText() {
  std::string text = MergeUsageText();
  text += R"(
Merges capture files into one capture whose packets are in time order, through the
SortingMultiplexer component of corvex_sorting_multiplexer.pck: one file player per input, the
multiplexer, and a recorder writing OUT.pcap (classic pcap, microseconds).

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
                            default 1024, or the batch when that is larger
  -l, --vector-latency D    longest time span inside one output element
                            (vector_max_latency); default 86400s
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
                            corvex_sorting_multiplexer.pck next to this program or in the
                            build tree it was built in)
  -q, --quiet               no progress line, no summary and no warnings (errors still show)
  -h, --help                this text
  -V, --version             the version

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
  0    merged; the output is in time order
  1    an input could not be read (missing, unreadable, not a capture, truncated or
       damaged, different link types), the output could not be written, or the merge failed
  2    usage error
  3    merged, every packet written, but the output is not in time order: an input was
       more out of order than the buffer holds (the summary tells which -b would do)
  128+N  stopped by signal N (130 Ctrl-C/SIGINT, 129 SIGHUP, 131 SIGQUIT, 141 SIGPIPE when
       the reader of the output went away, 143 SIGTERM)
A merge that fails or is stopped leaves no output file behind, and an old one untouched.
)";
  return text;
}

std::string MergeVersionText() {
  return std::string("corvex-merge ") + CORVEX_MERGE_VERSION +
         " (SortingMultiplexer through the Corvex engine stand-in)\n";
}

} // namespace VANT
