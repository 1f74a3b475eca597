#include "host/components/vant_latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

size_t VANTLatencyHistogram::BucketOf(int64_t value) noexcept {
  if (value < kSub) {
    return static_cast<size_t>(std::max<int64_t>(value, 0));
  }
  const auto unsignedValue = static_cast<uint64_t>(value);
  const int exponent = 63 - std::countl_zero(unsignedValue); // >= kSubBits
  const int shift = exponent - kSubBits;
  const auto sub = static_cast<size_t>((unsignedValue >> shift) & (kSub - 1));
  return static_cast<size_t>(kSub) + static_cast<size_t>(shift) * static_cast<size_t>(kSub) + sub;
}

int64_t VANTLatencyHistogram::BucketTop(size_t bucket) noexcept {
  if (bucket < static_cast<size_t>(kSub)) {
    return static_cast<int64_t>(bucket);
  }
  const size_t above = bucket - static_cast<size_t>(kSub);
  const auto shift = static_cast<int>(above / static_cast<size_t>(kSub));
  const auto sub = static_cast<uint64_t>(above % static_cast<size_t>(kSub));
  const uint64_t low = (static_cast<uint64_t>(kSub) + sub) << shift;
  return static_cast<int64_t>(low + ((uint64_t{1} << shift) - 1));
}

void VANTLatencyHistogram::Add(int64_t microseconds) noexcept {
  const int64_t value = std::max<int64_t>(microseconds, 0);
  ++m_counts[BucketOf(value)];
  ++m_count;
  m_max = std::max(m_max, value);
}

int64_t VANTLatencyHistogram::Quantile(double q) const noexcept {
  if (m_count == 0) {
    return 0;
  }
  const double clamped = std::clamp(q, 0.0, 1.0);
  const auto rank = std::max<uint64_t>(
      1, static_cast<uint64_t>(std::ceil(clamped * static_cast<double>(m_count))));
  uint64_t seen = 0;
  for (size_t bucket = 0; bucket < kBuckets; ++bucket) {
    seen += m_counts[bucket];
    if (seen >= rank) {
      return std::min(BucketTop(bucket), m_max);
    }
  }
  return m_max;
}
