// The live captures' group on its own, on a clock the test sets: the turn rule (frontiers, the
// clock-bound frontier of idle members, ties, the read-order rule) case by case, and a seeded
// simulation of captures, a multiplexer that reads by its schedule and writes every element as
// it reads it, and a recorder that reports late, in which the output must come out in time order
// whatever the delivery delays (within the bound), element sizes and scheduling.
#include "host/components/vant_latency_histogram.h"
#include "host/components/vant_live_capture_group.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <vector>

namespace {

int64_t g_now = 0;
int64_t TestClock() {
  return g_now;
}

using Group = VANTLiveCaptureGroup;

/// An element as the recorder reports it: packets at these times (24-byte headers, no data).
struct Element {
  std::vector<uint8_t> bytes;
  VANTpcap_data_t header{};

  explicit Element(const std::vector<int64_t>& times) {
    bytes.resize(times.size() * VANT::kPcapHeaderSize);
    for (size_t i = 0; i < times.size(); ++i) {
      VANTPcapPacketHeader packet{0, 0, static_cast<uint64_t>(times[i] / 1000000),
                                  static_cast<uint64_t>(times[i] % 1000000)};
      std::memcpy(bytes.data() + i * VANT::kPcapHeaderSize, &packet, sizeof(packet));
    }
    header.packetCount = static_cast<uint16_t>(times.size());
    header.headerSize = VANT::kPcapHeaderSize;
    header.dataSize = bytes.size();
    header.data = bytes.data();
  }
};

TEST(LiveCaptureGroupTest, TurnsFollowTheFrontiersOfTheOtherMembers) {
  constexpr int64_t kDelay = 1000;
  struct Case {
    int line;
    int64_t now;
    // Member 1's state: 'u' unknown, 'i' idle, 'p' pending at `front`, 'd' done.
    char other;
    int64_t otherFront;
    int64_t otherPublished; // its latest published time (0: none)
    size_t asking;          // which member asks (the other one is 1 - asking)
    int64_t front;
    bool go;
    int64_t limit;   // with go
    int64_t retryAt; // without go
  };
  const Case cases[] = {
      {__LINE__, 50000, 'u', 0, 0, 0, 10000, false, 0, Group::kNever},
      {__LINE__, 50000, 'd', 0, 0, 0, 10000, true, INT64_MAX, 0},
      // An idle member's frontier is now - D: what is older may go, the rest waits for it.
      {__LINE__, 50000, 'i', 0, 0, 0, 48999, true, 49000, 0},
      {__LINE__, 50000, 'i', 0, 0, 0, 49000, true, 49000, 0},
      {__LINE__, 50000, 'i', 0, 0, 0, 49500, false, 0, 50500},
      // Tricky: on equal times the lower member goes first, so member 1 waits one more us.
      {__LINE__, 50000, 'i', 0, 0, 1, 49000, false, 0, 50001},
      // What the idle member published already lies below everything it can still send.
      {__LINE__, 50000, 'i', 0, 49800, 0, 49500, true, 49800, 0},
      {__LINE__, 50000, 'i', 0, 49800, 0, 49900, false, 0, 50900},
      // A pending member holds the frontier at its first packet; only an event moves it.
      {__LINE__, 50000, 'p', 30000, 0, 0, 20000, true, 30000, 0},
      {__LINE__, 50000, 'p', 30000, 0, 0, 40000, false, 0, Group::kNever},
      {__LINE__, 50000, 'p', 30000, 0, 0, 30000, true, 30000, 0},
      {__LINE__, 50000, 'p', 30000, 0, 1, 30000, false, 0, Group::kNever},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case at line " << c.line);
    g_now = c.now;
    Group group(2, kDelay, &TestClock);
    const size_t other = 1 - c.asking;
    if (c.otherPublished != 0) {
      group.Publishing(other, 1, c.otherPublished, c.otherPublished);
      Element written({c.otherPublished});
      group.ElementWritten(written.header, 1);
    }
    switch (c.other) {
    case 'i':
      group.SetIdle(other);
      break;
    case 'p':
      group.SetPending(other, c.otherFront);
      break;
    case 'd':
      group.SetDone(other);
      break;
    default:
      break;
    }
    group.SetPending(c.asking, c.front);
    const Group::Turn turn = group.TryTurn(c.asking, c.front);
    EXPECT_EQ(turn.go, c.go);
    if (c.go) {
      EXPECT_EQ(turn.limit, c.limit);
      EXPECT_TRUE(Group::Allows(turn, c.asking, c.front));
    } else {
      EXPECT_EQ(turn.retryAt, c.retryAt);
      if (c.retryAt != Group::kNever) {
        g_now = c.retryAt;
        EXPECT_TRUE(group.TryTurn(c.asking, c.front).go) << "the clock alone lets it go then";
      }
    }
  }
}

TEST(LiveCaptureGroupTest, AnUnreadElementThatTheMultiplexerWouldReadLaterHoldsATurnBack) {
  // Both members published before; member 0 then published again (unread, its key before that
  // was 300), while member 1's last element ended at 200. The multiplexer would read member 1's
  // next element first (key 200 < 300), though it is later in time: member 1 must wait until
  // member 0's element is written.
  g_now = 1000000;
  Group group(2, 1000, &TestClock);
  group.Publishing(1, 1, 200, 200);
  group.Publishing(0, 1, 300, 300);
  Element first({200});
  Element second({300});
  group.ElementWritten(first.header, 1);
  group.ElementWritten(second.header, 1);
  group.Publishing(0, 2, 400, 400); // unread; member 0's key before it: 300
  group.SetIdle(0);
  group.SetPending(1, 500);
  EXPECT_FALSE(group.TryTurn(1, 500).go);
  Element third({350, 400});
  group.ElementWritten(third.header, 2);
  EXPECT_TRUE(group.TryTurn(1, 500).go);
  // The other way round it may go at once: member 0's next element would be read after member
  // 1's unread one (key 200 < its own 400).
  group.Publishing(1, 1, 500, 500);
  group.SetIdle(1);
  group.SetPending(0, 600);
  EXPECT_TRUE(group.TryTurn(0, 600).go);
  // Latencies and counts follow the publications in order.
  const Group::Written of0 = group.WrittenOf(0);
  EXPECT_EQ(of0.packets, 3u);
  EXPECT_EQ(of0.latency.Max(), g_now - 300);
  EXPECT_EQ(group.WrittenOf(1).packets, 1u);
  EXPECT_EQ(group.PacketsPublished(), 5u);
  EXPECT_EQ(group.PacketsReported(), 4u);
}

TEST(LiveCaptureGroupTest, LatencyHistogramQuantilesAreNeverBelowTheTruthAndCloseToIt) {
  VANTLatencyHistogram histogram;
  EXPECT_EQ(histogram.Quantile(0.5), 0);
  std::mt19937_64 random(7);
  std::vector<int64_t> values;
  for (int i = 0; i < 20000; ++i) {
    values.push_back(static_cast<int64_t>(random() % 5000000) - 10); // a few below 0
    histogram.Add(values.back());
  }
  std::sort(values.begin(), values.end());
  for (double q : {0.0, 0.5, 0.99, 1.0}) {
    const auto rank = std::max<size_t>(1, static_cast<size_t>(std::ceil(q * values.size())));
    const int64_t truth = std::max<int64_t>(values[rank - 1], 0);
    EXPECT_GE(histogram.Quantile(q), truth) << q;
    EXPECT_LE(histogram.Quantile(q), truth + truth / 32 + 1) << q;
  }
  EXPECT_EQ(histogram.Max(), values.back());
  EXPECT_EQ(histogram.Quantile(1.0), values.back());
  EXPECT_EQ(histogram.Count(), 20000u);
}

// ---- Seeded simulation -------------------------------------------------------------------------

struct SimPacket {
  int64_t time;    // capture time
  int64_t arrival; // when its capture can take it
  size_t member;
  uint32_t number; // per member
};

/// One run; returns an empty string or what went wrong.
std::string Simulate(uint64_t seed) {
  std::mt19937_64 random(seed);
  auto uniform = [&random](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
  };
  const auto members = static_cast<size_t>(uniform(2, 5));
  const int64_t delay = uniform(500, 5000);
  const auto batch = static_cast<size_t>(uniform(1, 8));
  g_now = 1000000;
  Group group(members, delay, &TestClock);

  // Traffic: per member, bursts and idle stretches; arrivals within the bound, in order.
  std::vector<std::deque<SimPacket>> traffic(members);
  size_t total = 0;
  for (size_t m = 0; m < members; ++m) {
    int64_t time = g_now + uniform(0, 3000);
    int64_t arrival = 0;
    const auto count = static_cast<uint32_t>(uniform(0, 300));
    for (uint32_t k = 0; k < count; ++k) {
      time += uniform(0, 3) == 0 ? uniform(2000, 20000) : uniform(0, 200);
      arrival = std::max(arrival, time + uniform(0, delay));
      traffic[m].push_back({time, arrival, m, k});
      ++total;
    }
  }

  // The captures' side, as the component does it.
  std::vector<std::deque<SimPacket>> queued(members);
  std::vector<char> told(members, 'n');
  // The multiplexer: one FIFO per input, its schedule (key -> input, re-keyed entries before
  // equal keys), and the recorder's backlog of written elements.
  std::vector<std::deque<std::vector<SimPacket>>> fifo(members);
  std::multimap<int64_t, size_t> schedule;
  for (size_t m = 0; m < members; ++m) {
    schedule.emplace_hint(schedule.lower_bound(0), 0, m);
  }
  std::deque<std::vector<SimPacket>> unreported;
  std::vector<SimPacket> output;

  for (int step = 0; step < 2000000 && output.size() < total; ++step) {
    g_now += uniform(1, 150);
    // Every capture takes its packets as they arrive (which is within the bound): the rule
    // counts on that, and a capture counts those that come later as late.
    for (size_t m = 0; m < members; ++m) {
      while (!traffic[m].empty() && traffic[m].front().arrival <= g_now) {
        if (told[m] == 'i') {
          group.SetPending(m, traffic[m].front().time);
          told[m] = 'p';
        }
        queued[m].push_back(traffic[m].front());
        traffic[m].pop_front();
      }
    }
    const auto actor = static_cast<size_t>(uniform(0, static_cast<int64_t>(members) + 1));
    if (actor < members) {
      const size_t m = actor;
      if (queued[m].empty()) {
        if (told[m] != 'i') {
          group.SetIdle(m);
          told[m] = 'i';
        }
        continue;
      }
      if (told[m] != 'p') {
        group.SetPending(m, queued[m].front().time);
        told[m] = 'p';
      }
      const Group::Turn turn = group.TryTurn(m, queued[m].front().time);
      if (!turn.go) {
        continue;
      }
      std::vector<SimPacket> element;
      while (!queued[m].empty() && element.size() < batch &&
             Group::Allows(turn, m, queued[m].front().time)) {
        element.push_back(queued[m].front());
        queued[m].pop_front();
      }
      group.Publishing(m, element.size(), element.back().time, element.back().time);
      fifo[m].push_back(std::move(element));
      if (queued[m].empty()) {
        group.SetIdle(m);
        told[m] = 'i';
      } else {
        group.SetPending(m, queued[m].front().time);
      }
    } else if (actor == members) {
      // The multiplexer reads the first input of its schedule that has data and writes it.
      for (auto entry = schedule.begin(); entry != schedule.end(); ++entry) {
        const size_t input = entry->second;
        if (fifo[input].empty()) {
          continue;
        }
        std::vector<SimPacket> element = std::move(fifo[input].front());
        fifo[input].pop_front();
        const int64_t key = element.back().time;
        schedule.erase(entry);
        schedule.emplace_hint(schedule.lower_bound(key), key, input);
        output.insert(output.end(), element.begin(), element.end());
        unreported.push_back(std::move(element));
        break;
      }
    } else if (!unreported.empty()) {
      std::vector<int64_t> times;
      for (const SimPacket& p : unreported.front()) {
        times.push_back(p.time);
      }
      Element element(times);
      group.ElementWritten(element.header, static_cast<uint32_t>(times.size()));
      unreported.pop_front();
    }
  }
  if (output.size() != total) {
    return "only " + std::to_string(output.size()) + " of " + std::to_string(total) +
           " packets were written: the captures stalled";
  }
  std::vector<uint32_t> next(members, 0);
  for (size_t i = 0; i < output.size(); ++i) {
    if (i > 0 && output[i].time < output[i - 1].time) {
      std::string around; // the packets written just before, for the report
      for (size_t k = i > 8 ? i - 8 : 0; k <= i; ++k) {
        around += " m" + std::to_string(output[k].member) + "@" + std::to_string(output[k].time);
      }
      return "packet " + std::to_string(i) + " is earlier than the one before it:" + around;
    }
    if (output[i].number != next[output[i].member]++) {
      return "member " + std::to_string(output[i].member) + " lost its order";
    }
  }
  return {};
}

TEST(LiveCaptureGroupTest, SeededSimulationsWriteEveryPacketInTimeOrder) {
  std::random_device device;
  const uint64_t base = device();
  for (uint64_t run = 0; run < 200; ++run) {
    const uint64_t seed = run < 100 ? run : base + run;
    const std::string problem = Simulate(seed);
    ASSERT_TRUE(problem.empty()) << "seed " << seed << ": " << problem;
  }
}

} // namespace
