#pragma once
// The levels of a report to the engine (host kernel slot 96, and the report hook of the layers
// below the runtime). Every layer names them; none writes the bare numbers.

#include <cstdint>

namespace VANT {

inline constexpr int32_t kInformation = 0;
inline constexpr int32_t kWarning = 1;
inline constexpr int32_t kError = 2;

} // namespace VANT
