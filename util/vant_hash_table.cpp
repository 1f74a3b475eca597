#include "util/vant_hash_table.h"

#include <bit>
#include <cstring>

namespace VANT {
namespace {

// Reversible mixing of three 64-bit words: every input bit affects every output bit.
inline void Mix(uint64_t& a, uint64_t& b, uint64_t& c) noexcept {
  // clang-format off
  a -= b; a -= c; a ^= (c >> 43);
  b -= c; b -= a; b ^= (a << 9);
  c -= a; c -= b; c ^= (b >> 8);
  a -= b; a -= c; a ^= (c >> 38);
  b -= c; b -= a; b ^= (a << 23);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 35);
  b -= c; b -= a; b ^= (a << 49);
  c -= a; c -= b; c ^= (b >> 11);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 18);
  c -= a; c -= b; c ^= (b >> 22);
  // clang-format on
}

// Up to eight bytes as a little-endian word (the byte at k[0] lowest).
inline uint64_t Word(const unsigned char* k, std::size_t count) noexcept {
  uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) {
    word += static_cast<uint64_t>(k[i]) << (8 * i);
  }
  return word;
}

// Eight bytes as a little-endian word, in one load.
inline uint64_t FullWord(const unsigned char* k) noexcept {
  static_assert(std::endian::native == std::endian::little, "words are read little-endian");
  uint64_t word;
  std::memcpy(&word, k, sizeof word);
  return word;
}

} // namespace

uint64_t Hash64(const void* data, std::size_t length, uint64_t level) noexcept {
  const auto* k = static_cast<const unsigned char*>(data);
  uint64_t a = level;
  uint64_t b = level;
  uint64_t c = 0x9e3779b97f4a7c13ULL; // the golden ratio, an arbitrary value
  std::size_t left = k == nullptr ? 0 : length;
  const std::size_t total = left;

  while (left >= 24) {
    a += FullWord(k);
    b += FullWord(k + 8);
    c += FullWord(k + 16);
    Mix(a, b, c);
    k += 24;
    left -= 24;
  }

  // The last 0..23 bytes: a takes bytes 0..7, b bytes 8..15, c bytes 16..22 shifted up one byte,
  // since the lowest byte of c carries the length.
  c += total;
  if (left > 16) {
    c += Word(k + 16, left - 16) << 8;
  }
  if (left > 8) {
    b += Word(k + 8, left > 16 ? 8 : left - 8);
  }
  if (left > 0) {
    a += Word(k, left > 8 ? 8 : left);
  }
  Mix(a, b, c);
  return c;
}

} // namespace VANT

uint64_t VANTStringHashFunction::Hash(const VANTStackedString<40>& key) const {
  return VANT::Hash64(key.Text(), static_cast<std::size_t>(key.Length()), VANT::StringHashLevel);
}
