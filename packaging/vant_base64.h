#pragma once
// Base64 with the standard alphabet and "=" padding (RFC 4648, section 4).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace VANT {

std::string Base64Encode(const void* data, size_t size);
/// The decoded bytes, or nothing when text is not canonical padded Base64.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

} // namespace VANT
