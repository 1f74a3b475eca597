// live_frame_sender: sends numbered raw Ethernet frames on network interfaces, one thread per
// link, for the live merge tests and benchmark. No IP is involved: each frame is a broadcast
// with the local experimental EtherType 0x88B5 and a payload of
//   "CVXL" | link id (16-bit) | sequence number from 0 (32-bit) | send time (64-bit ns,
//   CLOCK_REALTIME)
// all little-endian, padded to the Ethernet minimum of 60 bytes.
//
//   live_frame_sender LINK [LINK ...]
//   LINK  = IFACE=ID:PHASE[/PHASE ...]
//   PHASE = wMS        stay idle for MS milliseconds
//           rPPSxN     send N frames at PPS frames per second
//           bN         send N frames back to back
// Every link starts at the same moment. At the end one line per link goes to the standard
// output: "link ID sent N". Exit status 0, or 1 with a message when a link could not send.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t kEtherType = 0x88B5;
constexpr size_t kFrameSize = 60;

struct Phase {
  char kind = 'w';
  uint64_t value = 0; // milliseconds (w), frames per second (r), frames (b)
  uint64_t count = 0; // frames (r)
};

struct Link {
  std::string interface;
  uint16_t id = 0;
  std::vector<Phase> phases;
  uint64_t sent = 0;
  std::string error;
};

int64_t Now(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void SleepUntil(int64_t monotonicNs) {
  timespec at{};
  at.tv_sec = monotonicNs / 1000000000LL;
  at.tv_nsec = monotonicNs % 1000000000LL;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

bool ParseNumber(const std::string& text, size_t& at, uint64_t& value) {
  const size_t start = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 12) {
    value = value * 10 + static_cast<uint64_t>(text[at] - '0');
    ++at;
  }
  return at > start;
}

bool ParseLink(const std::string& text, Link& link) {
  const size_t equals = text.find('=');
  const size_t colon = text.find(':', equals == std::string::npos ? 0 : equals);
  if (equals == std::string::npos || colon == std::string::npos || equals == 0) {
    return false;
  }
  link.interface = text.substr(0, equals);
  size_t at = equals + 1;
  uint64_t id = 0;
  if (!ParseNumber(text, at, id) || at != colon || id > 65535) {
    return false;
  }
  link.id = static_cast<uint16_t>(id);
  at = colon + 1;
  while (at < text.size()) {
    Phase phase;
    phase.kind = text[at++];
    if (!ParseNumber(text, at, phase.value)) {
      return false;
    }
    if (phase.kind == 'r') {
      if (at >= text.size() || text[at++] != 'x' || !ParseNumber(text, at, phase.count) ||
          phase.value == 0) {
        return false;
      }
    } else if (phase.kind != 'w' && phase.kind != 'b') {
      return false;
    }
    link.phases.push_back(phase);
    if (at < text.size() && text[at++] != '/') {
      return false;
    }
  }
  return !link.phases.empty();
}

void Send(Link& link, int64_t startNs) {
  const int fd = socket(AF_PACKET, SOCK_RAW, htons(kEtherType));
  if (fd < 0) {
    link.error = std::string("socket: ") + std::strerror(errno);
    return;
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(kEtherType);
  address.sll_ifindex = static_cast<int>(if_nametoindex(link.interface.c_str()));
  address.sll_halen = ETH_ALEN;
  std::memset(address.sll_addr, 0xFF, ETH_ALEN);
  if (address.sll_ifindex == 0) {
    link.error = link.interface + ": no such interface";
    close(fd);
    return;
  }
  // A large send buffer: bursts go back to back without waiting for the kernel.
  const int bufferBytes = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof(bufferBytes));

  uint8_t frame[kFrameSize] = {};
  std::memset(frame, 0xFF, 6); // broadcast
  const uint8_t source[6] = {
      0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(link.id >> 8), static_cast<uint8_t>(link.id)};
  std::memcpy(frame + 6, source, 6);
  frame[12] = kEtherType >> 8;
  frame[13] = kEtherType & 0xFF;
  std::memcpy(frame + 14, "CVXL", 4);
  std::memcpy(frame + 18, &link.id, 2);

  auto sendOne = [&]() {
    const auto sequence = static_cast<uint32_t>(link.sent);
    const int64_t stamp = Now(CLOCK_REALTIME);
    std::memcpy(frame + 20, &sequence, 4);
    std::memcpy(frame + 24, &stamp, 8);
    for (;;) {
      if (sendto(fd, frame, sizeof(frame), 0, reinterpret_cast<const sockaddr*>(&address),
                 sizeof(address)) == static_cast<ssize_t>(sizeof(frame))) {
        ++link.sent;
        return true;
      }
      if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
        link.error = link.interface + ": send: " + std::strerror(errno);
        return false;
      }
      std::this_thread::yield(); // the device queue is full for a moment
    }
  };

  SleepUntil(startNs);
  int64_t at = startNs;
  for (const Phase& phase : link.phases) {
    if (phase.kind == 'w') {
      at += static_cast<int64_t>(phase.value) * 1000000;
      SleepUntil(at);
    } else if (phase.kind == 'b') {
      for (uint64_t i = 0; i < phase.value; ++i) {
        if (!sendOne()) {
          close(fd);
          return;
        }
      }
      at = std::max(at, Now(CLOCK_MONOTONIC));
    } else {
      const double gap = 1e9 / static_cast<double>(phase.value);
      const int64_t begin = at;
      for (uint64_t i = 0; i < phase.count; ++i) {
        const int64_t due = begin + static_cast<int64_t>(gap * static_cast<double>(i));
        if (due - Now(CLOCK_MONOTONIC) > 20000) {
          SleepUntil(due);
        }
        if (!sendOne()) {
          close(fd);
          return;
        }
      }
      at = begin + static_cast<int64_t>(gap * static_cast<double>(phase.count));
    }
  }
  close(fd);
}

} // namespace

int main(int argc, char** argv) {
  std::vector<Link> links;
  for (int i = 1; i < argc; ++i) {
    Link link;
    if (!ParseLink(argv[i], link)) {
      std::fprintf(stderr,
                   "live_frame_sender: bad link '%s'\n"
                   "usage: live_frame_sender IFACE=ID:PHASE[/PHASE...] ...\n"
                   "  PHASE: wMS (idle), rPPSxN (N frames at PPS per second), bN (N at once)\n",
                   argv[i]);
      return 2;
    }
    links.push_back(std::move(link));
  }
  if (links.empty()) {
    std::fprintf(stderr, "usage: live_frame_sender IFACE=ID:PHASE[/PHASE...] ...\n");
    return 2;
  }
  // Every link starts together, a little after the threads exist.
  const int64_t start = Now(CLOCK_MONOTONIC) + 20000000;
  std::vector<std::thread> threads;
  for (Link& link : links) {
    threads.emplace_back(Send, std::ref(link), start);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  int status = 0;
  for (const Link& link : links) {
    if (!link.error.empty()) {
      std::fprintf(stderr, "live_frame_sender: %s\n", link.error.c_str());
      status = 1;
    }
    std::printf("link %u sent %llu\n", static_cast<unsigned>(link.id),
                static_cast<unsigned long long>(link.sent));
  }
  return status;
}
