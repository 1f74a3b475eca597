#pragma once
// The answer of a test program's VANTGetModulesDefStruct for a fixed table of model records, none
// of them in a named group: the count without an output array, else up to maxCount records in
// table order.

#include "runtime/vant_model_definition.h"

#include <cstddef>
#include <cstdint>

template <size_t N>
int32_t AnswerModelsQuery(VANTComponentModelDefinition (&records)[N], const char* groupName,
                          void** out, int32_t maxCount) {
  const auto count = static_cast<int32_t>(N);
  if (groupName != nullptr) {
    return out == nullptr ? -1 : 0;
  }
  if (out == nullptr) {
    return count;
  }
  int32_t written = 0;
  for (; written < count && written < maxCount; ++written) {
    out[written] = &records[written];
  }
  return written;
}
