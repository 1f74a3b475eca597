// live_plain_capture: the baseline of the live merge benchmark. A plain libpcap capture of several
// interfaces into one file, as a capture program with one thread per interface does it: each
// thread writes what its interface delivers, as it comes, under one lock, so the file is in the
// order of delivery, not of time. The capture settings are those of corvex-merge's defaults
// (8 MiB kernel buffer, blocks of at most 1 ms, the whole packet).
//
//   live_plain_capture -w OUT.pcap [--filter EXPR] IFACE [IFACE ...]
//
// Runs until SIGINT or SIGTERM, then prints per interface the packets written, the kernel's
// drops, and the time from capture to write (median, 99th percentile, maximum), and for the file
// how often time went backwards. Exit status 0, 1 when an interface cannot be captured, 2 on
// usage errors.
#include "host/components/vant_latency_histogram.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pcap/pcap.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
int g_wake = -1;

void OnSignal(int) {
  g_stop.store(true);
  const uint64_t one = 1;
  (void)!write(g_wake, &one, sizeof(one));
}

int64_t RealTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct Interface {
  std::string name;
  pcap_t* handle = nullptr;
  uint64_t packets = 0;
  VANTLatencyHistogram latency;
  pcap_stat stats{};
};

std::mutex g_fileLock;
pcap_dumper_t* g_file = nullptr;
int64_t g_last = 0;
uint64_t g_backwards = 0;

void Capture(Interface& interface) {
  pollfd descriptors[2] = {{pcap_get_selectable_fd(interface.handle), POLLIN, 0},
                           {g_wake, POLLIN, 0}};
  std::vector<std::pair<pcap_pkthdr, std::vector<u_char>>> batch;
  while (!g_stop.load()) {
    poll(descriptors, 2, -1);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    batch.clear();
    while (pcap_next_ex(interface.handle, &header, &data) == 1) {
      batch.emplace_back(*header, std::vector<u_char>(data, data + header->caplen));
    }
    if (batch.empty()) {
      continue;
    }
    std::lock_guard<std::mutex> lock(g_fileLock);
    for (auto& [packet, bytes] : batch) {
      pcap_dump(reinterpret_cast<u_char*>(g_file), &packet, bytes.data());
    }
    pcap_dump_flush(g_file);
    const int64_t now = RealTimeNow();
    for (auto& [packet, bytes] : batch) {
      const int64_t time = int64_t{packet.ts.tv_sec} * 1000000 + packet.ts.tv_usec / 1000;
      g_backwards += time < g_last ? 1 : 0;
      g_last = time;
      interface.latency.Add(now - time);
      ++interface.packets;
    }
  }
  pcap_stats(interface.handle, &interface.stats);
}

} // namespace

int main(int argc, char** argv) {
  std::string output;
  std::string filter;
  std::vector<Interface> interfaces;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "-w" && i + 1 < argc) {
      output = argv[++i];
    } else if (argument == "--filter" && i + 1 < argc) {
      filter = argv[++i];
    } else {
      interfaces.emplace_back();
      interfaces.back().name = argument;
    }
  }
  if (output.empty() || interfaces.empty()) {
    std::fprintf(stderr, "usage: live_plain_capture -w OUT.pcap [--filter EXPR] IFACE ...\n");
    return 2;
  }
  g_wake = eventfd(0, EFD_CLOEXEC);
  for (Interface& interface : interfaces) {
    char text[PCAP_ERRBUF_SIZE] = {};
    interface.handle = pcap_create(interface.name.c_str(), text);
    if (interface.handle == nullptr) {
      std::fprintf(stderr, "live_plain_capture: %s: %s\n", interface.name.c_str(), text);
      return 1;
    }
    pcap_set_snaplen(interface.handle, 262144);
    pcap_set_promisc(interface.handle, 1);
    pcap_set_buffer_size(interface.handle, 8 << 20);
    pcap_set_timeout(interface.handle, 1);
    pcap_set_tstamp_precision(interface.handle, PCAP_TSTAMP_PRECISION_NANO);
    bpf_program program{};
    if (pcap_activate(interface.handle) < 0 ||
        (!filter.empty() &&
         (pcap_compile(interface.handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
          pcap_setfilter(interface.handle, &program) != 0)) ||
        pcap_setnonblock(interface.handle, 1, text) != 0) {
      std::fprintf(stderr, "live_plain_capture: %s: %s\n", interface.name.c_str(),
                   pcap_geterr(interface.handle));
      return 1;
    }
    pcap_freecode(&program);
  }
  g_file = pcap_dump_open(interfaces.front().handle, output.c_str());
  if (g_file == nullptr) {
    std::fprintf(stderr, "live_plain_capture: %s\n", pcap_geterr(interfaces.front().handle));
    return 1;
  }
  std::signal(SIGINT, &OnSignal);
  std::signal(SIGTERM, &OnSignal);
  std::fprintf(stderr, "live_plain_capture: capturing\n");
  std::vector<std::thread> threads;
  for (Interface& interface : interfaces) {
    threads.emplace_back(Capture, std::ref(interface));
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  pcap_dump_close(g_file);
  for (Interface& interface : interfaces) {
    std::printf("%s: packets %llu, dropped by the kernel %u, by the interface %u; capture to "
                "write: median %lld us, 99%% %lld us, max %lld us\n",
                interface.name.c_str(), static_cast<unsigned long long>(interface.packets),
                interface.stats.ps_drop, interface.stats.ps_ifdrop,
                static_cast<long long>(interface.latency.Quantile(0.5)),
                static_cast<long long>(interface.latency.Quantile(0.99)),
                static_cast<long long>(interface.latency.Max()));
    pcap_close(interface.handle);
  }
  std::printf("output: time went backwards %llu times\n",
              static_cast<unsigned long long>(g_backwards));
  return 0;
}
