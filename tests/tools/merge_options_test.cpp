#include "tools/merge/vant_merge_options.h"

#include <gtest/gtest.h>

namespace {

using Action = VANT::MergeCommand::Action;

VANT::MergeCommand Parse(std::vector<std::string> arguments) {
  return VANT::ParseMergeCommandLine(arguments);
}

TEST(MergeOptionsTest, OutputAndInputsInAnyOrder) {
  const VANT::MergeCommand command = Parse({"a.pcap", "-w", "out.pcap", "b.pcapng", "-q"});
  ASSERT_EQ(command.action, Action::kRun) << command.error;
  EXPECT_EQ(command.options.output, "out.pcap");
  EXPECT_EQ(command.options.inputs, (std::vector<std::string>{"a.pcap", "b.pcapng"}));
  EXPECT_TRUE(command.options.quiet);
}

TEST(MergeOptionsTest, ValuesAttachedGroupedOrAfterAnEqualsSign) {
  VANT::MergeCommand command =
      Parse({"-qwout.pcap", "-b500", "--vector-size=64", "--flush-delay", "2s", "-l", "250ms",
             "--batch=32", "--package=/x/p.pck", "--pace", "2.5", "in.pcap"});
  ASSERT_EQ(command.action, Action::kRun) << command.error;
  EXPECT_TRUE(command.options.quiet);
  EXPECT_EQ(command.options.output, "out.pcap");
  EXPECT_EQ(command.options.bufferPacketCount, 500);
  EXPECT_EQ(command.options.vectorMaxSize, 64);
  EXPECT_EQ(command.options.flushDelay, 2000000);
  EXPECT_EQ(command.options.vectorMaxLatency, 250000);
  EXPECT_EQ(command.options.packetsPerElement, 32);
  EXPECT_EQ(command.options.package, "/x/p.pck");
  EXPECT_DOUBLE_EQ(command.options.pace, 2.5);
}

TEST(MergeOptionsTest, DoubleDashAndLoneDashAreOperands) {
  const VANT::MergeCommand command = Parse({"-w", "o", "--", "-q", "-"});
  ASSERT_EQ(command.action, Action::kRun) << command.error;
  EXPECT_FALSE(command.options.quiet);
  EXPECT_EQ(command.options.inputs, (std::vector<std::string>{"-q", "-"}));
}

TEST(MergeOptionsTest, HelpAndVersionNeedNothingElseAndHelpWins) {
  EXPECT_EQ(Parse({"--help"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"-V"}).action, Action::kVersion);
  EXPECT_EQ(Parse({"--version", "-h"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"-h", "--version"}).action, Action::kHelp);
  // A usage error after --help is still reported.
  EXPECT_EQ(Parse({"--help", "--bogus"}).action, Action::kUsageError);
}

TEST(MergeOptionsTest, UsageErrorsSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> arguments;
    std::string expected; // part of the message
  };
  const Case cases[] = {
      {{"in.pcap"}, "no output file"},
      {{"-w", "out.pcap"}, "no input file"},
      {{"-w"}, "-w/--write needs a value"},
      {{"--write="}, "needs a file name"},
      {{"-x", "-w", "o", "i"}, "unknown option '-x'"},
      {{"--frobnicate", "-w", "o", "i"}, "unknown option '--frobnicate'"},
      {{"--quiet=yes", "-w", "o", "i"}, "takes no value"},
      {{"-b", "-1", "-w", "o", "i"}, "not '-1'"},
      {{"-b", "12x", "-w", "o", "i"}, "not '12x'"},
      {{"-b", "99999999999999999999", "-w", "o", "i"}, "number of packets"},
      {{"-n", "0", "-w", "o", "i"}, "from 1 to 65535"},
      {{"-n", "65536", "-w", "o", "i"}, "from 1 to 65535"},
      {{"--batch", "0", "-w", "o", "i"}, "from 1 to 65535"},
      {{"-l", "999", "-w", "o", "i"}, "from 1ms to 1000000s"},
      {{"-l", "5m", "-w", "o", "i"}, "not '5m'"},
      {{"-f", "-5", "-w", "o", "i"}, "not '-5'"},
      {{"-f", "ms", "-w", "o", "i"}, "not 'ms'"},
      {{"--pace", "0", "-w", "o", "i"}, "speed factor"},
      {{"--pace", "1x", "-w", "o", "i"}, "speed factor"},
      {{"--pace", "nan", "-w", "o", "i"}, "speed factor"},
      // The pace is read as strictly as the other numbers.
      {{"--pace", "0x10", "-w", "o", "i"}, "speed factor"},
      {{"--pace", " 5", "-w", "o", "i"}, "speed factor"},
      {{"--pace", "+5", "-w", "o", "i"}, "speed factor"},
      {{"--pace", "1e3", "-w", "o", "i"}, "speed factor"},
      {{"--pace", ".5", "-w", "o", "i"}, "speed factor"},
      {{"-w", "o", "-", "i", "-"}, "standard input (-) can be read only once"},
      // A live merge.
      {{"-w", "o", "-i", "eth0", "in.pcap"}, "cannot be merged in one run"},
      {{"-w", "o", "-i", "eth0", "-b", "10"}, "-b/--buffer is for merging files"},
      {{"-w", "o", "-i", "eth0", "--pace", "2"}, "--pace is for merging files"},
      {{"-w", "o", "-c", "10", "in.pcap"}, "-c/--count is for a live merge"},
      {{"-w", "o", "--delay", "1s", "in.pcap"}, "--delay is for a live merge"},
      {{"-w", "o", "-i", "eth0", "-i", "eth0"}, "the interface eth0 is given twice"},
      {{"-w", "o", "-i", "eth0", "-c", "0"}, "1 or more"},
      {{"-w", "o", "-i", "eth0", "-a", "packets:5"}, "use -c"},
      {{"-w", "o", "-i", "eth0", "-a", "duration:0"}, "above 0"},
      {{"-w", "o", "-i", "eth0", "-a", "duration:1x"}, "above 0"},
      {{"-w", "o", "-i", "eth0", "-s", "262145"}, "from 1 to 262144"},
      {{"-w", "o", "-i", "eth0", "-B", "0"}, "from 1 to 4096"},
      {{"-w", "o", "-i", "eth0", "--delay", "999us"}, "from 1ms to 1h"},
      {{"-w", "o", "-i", "eth0", "--delay", "2h"}, "from 1ms to 1h"},
      {{"-w", "o", "-i", "eth0", "--filter="}, "needs a filter expression"},
  };
  for (const Case& c : cases) {
    const VANT::MergeCommand command = Parse(c.arguments);
    EXPECT_EQ(command.action, Action::kUsageError) << c.arguments.front();
    EXPECT_NE(command.error.find(c.expected), std::string::npos)
        << "error '" << command.error << "' lacks '" << c.expected << "'";
  }
}

TEST(MergeOptionsTest, DurationsTakeMicrosecondsOrAUnitAndRefuseOverflow) {
  int64_t value = -1;
  EXPECT_TRUE(VANT::ParseDuration("0", value));
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(VANT::ParseDuration("1500", value));
  EXPECT_EQ(value, 1500);
  EXPECT_TRUE(VANT::ParseDuration("1500us", value));
  EXPECT_EQ(value, 1500);
  EXPECT_TRUE(VANT::ParseDuration("7ms", value));
  EXPECT_EQ(value, 7000);
  EXPECT_TRUE(VANT::ParseDuration("86400s", value));
  EXPECT_EQ(value, 86400000000);
  EXPECT_TRUE(VANT::ParseDuration("5min", value));
  EXPECT_EQ(value, 300000000);
  EXPECT_TRUE(VANT::ParseDuration("2h", value));
  EXPECT_EQ(value, 7200000000);
  EXPECT_TRUE(VANT::ParseDuration("277h", value)) << "the largest whole hours (about 11.5 days)";
  EXPECT_FALSE(VANT::ParseDuration("278h", value));
  for (const char* bad :
       {"", "s", "1.5s", "1 s", "+3", "3d", "3m", "3H", "10000000000000s", "9223372036854775808"}) {
    EXPECT_FALSE(VANT::ParseDuration(bad, value)) << bad;
  }
}

TEST(MergeOptionsTest, DefaultBufferGrowsWithTheNumberOfInputsUnlessGiven) {
  std::vector<std::string> many{"-w", "out"};
  for (int i = 0; i < 100; ++i) {
    many.push_back("in" + std::to_string(i));
  }
  const VANT::MergeCommand few = Parse({"-w", "out", "a", "b"});
  EXPECT_EQ(few.options.bufferPacketCount, 8192);
  EXPECT_GE(few.options.vectorMaxSize, few.options.packetsPerElement)
      << "an output element must take what an input element brings, or the buffer grows";
  // Many inputs: smaller elements by default (4096 / 100), and the buffer follows them.
  EXPECT_EQ(Parse(many).options.packetsPerElement, 40);
  EXPECT_EQ(Parse(many).options.bufferPacketCount, 4 * 100 * 40);
  many.push_back("--batch=100");
  EXPECT_EQ(Parse(many).options.bufferPacketCount, 4 * 100 * 100) << "a given batch stays";
  many.push_back("--buffer=10");
  EXPECT_EQ(Parse(many).options.bufferPacketCount, 10);
  // Big batches take the vector size along, unless it is given.
  EXPECT_EQ(Parse({"--batch", "4000", "-w", "o", "i"}).options.vectorMaxSize, 4000);
  EXPECT_EQ(Parse({"--batch", "4000", "-n", "8", "-w", "o", "i"}).options.vectorMaxSize, 8);
  // Small output elements take the batch down with them (one is written per element read, or
  // the multiplexer's queue grows with the input), unless the batch is given.
  EXPECT_EQ(Parse({"-n", "1", "-w", "o", "i"}).options.packetsPerElement, 1);
  EXPECT_EQ(Parse({"-n", "1", "--batch", "64", "-w", "o", "i"}).options.packetsPerElement, 64);
}

TEST(MergeOptionsTest, LiveMergeTakesItsOptionsAndWritesEveryElementAsItComes) {
  VANT::MergeCommand command =
      Parse({"-i", "eth0", "-ieth1", "-w", "o", "-c", "100", "-a", "duration:2", "-s", "128", "-p",
             "-B", "32", "--filter", "udp port 53", "--delay=50ms", "--immediate"});
  ASSERT_EQ(command.action, Action::kRun) << command.error;
  const VANT::MergeOptions& options = command.options;
  EXPECT_TRUE(options.Live());
  EXPECT_EQ(options.interfaces, (std::vector<std::string>{"eth0", "eth1"}));
  EXPECT_EQ(options.packetLimit, 100u);
  EXPECT_EQ(options.duration, 2000000);
  EXPECT_EQ(options.snapLength, 128u);
  EXPECT_FALSE(options.promiscuous);
  EXPECT_EQ(options.kernelBufferMiB, 32);
  EXPECT_EQ(options.filter, "udp port 53");
  EXPECT_EQ(options.delayBound, 50000);
  EXPECT_TRUE(options.immediate);
  // Nothing held back, and every element read is written whole at once.
  EXPECT_EQ(options.bufferPacketCount, 0);
  EXPECT_EQ(options.packetsPerElement, 1024);
  EXPECT_EQ(options.vectorMaxSize, options.packetsPerElement);
  EXPECT_GE(options.vectorMaxLatency, 86400LL * 1000000);
  EXPECT_EQ(options.flushDelay, 0);
  EXPECT_EQ(Parse({"-i", "eth0", "-w", "o", "--batch", "7"}).options.vectorMaxSize, 7);
  EXPECT_EQ(Parse({"-i", "eth0", "-w", "o", "-a", "duration:500ms"}).options.duration, 500000);
  EXPECT_EQ(Parse({"-i", "eth0", "-w", "o"}).options.delayBound, 100000);
}

TEST(MergeOptionsTest, HelpNamesEveryOptionAndTheComponentDefaults) {
  const std::string help = VANT::MergeHelpText();
  for (const char* name :
       {"--write",
        "--buffer",
        "--vector-size",
        "--vector-latency",
        "--flush-delay",
        "--batch",
        "--pace",
        "--package",
        "--quiet",
        "--help",
        "--version",
        "buffer 100",
        "flush delay 500ms",
        "--interface",
        "--count",
        "--autostop",
        "--delay",
        "--snaplen",
        "--no-promiscuous",
        "--kernel-buffer",
        "--filter",
        "--immediate",
        "every packet\nis written at most D (--delay, 100ms by default) after"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(VANT::MergeVersionText().rfind("corvex-merge 1.4.0", 0), 0u);
}

} // namespace
