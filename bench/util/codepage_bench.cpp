// Cost of the code-page registry against bare iconv, measured in the same run.
//
// Every path the runtime hands to the system passes through VANTCodePageRegistry::ToWide, so its
// overhead over the iconv call it wraps (two locks, a descriptor check, a heap result) is what
// matters. Baselines:
//   - bare: one iconv descriptor opened once, reset and run into a stack buffer (the floor);
//   - naive: iconv_open, iconv and iconv_close for every text (what a port without cached
//     descriptors would pay).
// Prints nanoseconds per conversion and the ratios. Usage: codepage_bench [iterations]

#include "util/vant_codepage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>

namespace {

using Clock = std::chrono::steady_clock;

volatile size_t g_sink; // keeps the optimiser from dropping the work

template <class Work>
double BestNanosecondsPerCall(long iterations, Work&& work) {
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < iterations; ++i) {
      work();
    }
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    best = std::min(best, elapsed.count() / static_cast<double>(iterations));
  }
  return best;
}

size_t BareConvert(iconv_t cd, const char* text, size_t bytes) {
  char out[4096];
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(text);
  char* cursor = out;
  size_t outLeft = sizeof out;
  if (iconv(cd, &in, &bytes, &cursor, &outLeft) == static_cast<size_t>(-1)) {
    std::abort();
  }
  return static_cast<size_t>(cursor - out);
}

void Compare(const char* label, const char* text, long iterations) {
  const size_t bytes = std::strlen(text) + 1;
  VANTCodePageRegistry& registry = VANTCodePageRegistry::Instance();

  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  const double bare =
      BestNanosecondsPerCall(iterations, [&] { g_sink = BareConvert(cd, text, bytes); });
  iconv_close(cd);

  const double naive = BestNanosecondsPerCall(iterations / 4, [&] {
    iconv_t once = iconv_open("UTF-16LE", "UTF-8");
    g_sink = BareConvert(once, text, bytes);
    iconv_close(once);
  });

  const double registryCost = BestNanosecondsPerCall(iterations, [&] {
    char16_t* wide = registry.ToWide(text);
    if (!wide) {
      std::abort();
    }
    g_sink = static_cast<size_t>(wide[0]);
    VANTCodePageRegistry::Release(wide);
  });

  std::printf("%-28s bytes=%4zu  bare iconv %7.1f ns  registry ToWide %7.1f ns  (x%.2f of bare)"
              "  open+convert+close %8.1f ns  (registry x%.2f of it)\n",
              label, bytes, bare, registryCost, registryCost / bare, naive, registryCost / naive);
}

} // namespace

int main(int argc, char** argv) {
  const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
  Compare("short name", "input_12", iterations);
  Compare("path with accents", "/srv/captures/r\xC3\xA9seau/2024-05-01/\xC3\xA9t\xC3\xA9.pcap",
          iterations);
  static char longPath[900];
  std::memset(longPath, 'a', sizeof longPath - 1);
  Compare("long path (899 bytes)", longPath, iterations / 4);

  // UTF-8 -> ANSI goes through UTF-16 twice: two iconv passes.
  VANTCodePageRegistry& registry = VANTCodePageRegistry::Instance();
  const char* path = "/srv/captures/r\xC3\xA9seau/2024-05-01/\xC3\xA9t\xC3\xA9.pcap";
  const double ansi = BestNanosecondsPerCall(iterations, [&] {
    char* text = registry.ToAnsi(path);
    if (!text) {
      std::abort();
    }
    g_sink = static_cast<size_t>(text[0]);
    VANTCodePageRegistry::Release(text);
  });
  std::printf("%-28s registry ToAnsi %7.1f ns (two iconv passes, C locale)\n", "path with accents",
              ansi);
  return 0;
}
