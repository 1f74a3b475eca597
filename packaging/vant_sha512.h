#pragma once
// SHA-512 (FIPS 180-4), for the signature entry of the package information block.
//
// Thread: one object per thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace VANT {

class Sha512 {
public:
  using Digest = std::array<uint8_t, 64>;

  Sha512() noexcept { Reset(); }
  void Reset() noexcept;
  void Update(const void* data, size_t size) noexcept;
  /// Completes the digest; the object must be Reset() before it is used again.
  Digest Finish() noexcept;

  static Digest Of(const void* data, size_t size) noexcept;
  static Digest Of(std::string_view text) noexcept { return Of(text.data(), text.size()); }

private:
  void Compress(const uint8_t* block) noexcept;

  std::array<uint64_t, 8> m_state{};
  std::array<uint8_t, 128> m_buffer{};
  size_t m_buffered = 0;
  uint64_t m_totalBytes = 0; // inputs above 2^64 bytes are not supported
};

} // namespace VANT
