#pragma once
// VANTLatencyHistogram: a distribution of durations in microseconds in fixed memory, for the
// median, the 99th percentile and the largest value of a long run.
//
// Values below 32 us are counted exactly; above, each power of two is cut into 32 buckets, so a
// quantile is off by at most 1/32 (about 3 %) of its value, and is never below the true one (the
// top of its bucket is given, capped at the largest value added). Negative values count as 0.
//
// Thread: not synchronised; the owner guards it.

#include <array>
#include <cstddef>
#include <cstdint>

class VANTLatencyHistogram {
public:
  void Add(int64_t microseconds) noexcept;

  uint64_t Count() const noexcept { return m_count; }
  /// The largest value added (0 when empty).
  int64_t Max() const noexcept { return m_max; }
  /// The smallest bucket top at or below which at least the fraction `q` (0 to 1) of the values
  /// lie, capped at Max(); 0 when empty.
  int64_t Quantile(double q) const noexcept;

private:
  static constexpr int kSubBits = 5;
  static constexpr int64_t kSub = int64_t{1} << kSubBits;
  // Exact buckets below kSub, then kSub buckets for each power of two from kSub up to 2^62.
  static constexpr size_t kBuckets = static_cast<size_t>(kSub + (63 - kSubBits) * kSub);

  static size_t BucketOf(int64_t value) noexcept;
  static int64_t BucketTop(size_t bucket) noexcept;

  std::array<uint64_t, kBuckets> m_counts{};
  uint64_t m_count = 0;
  int64_t m_max = 0;
};
