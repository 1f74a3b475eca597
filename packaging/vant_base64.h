#pragma once
// Base64 encoding with the standard alphabet and "=" padding (RFC 4648, section 4).

#include <cstddef>
#include <cstdint>
#include <string>

namespace VANT {

std::string Base64Encode(const void* data, size_t size);

} // namespace VANT
