#include "dataflow/vant_data_type.h"

#include <cstring>
#include <utility>

namespace {

char* CopyText(const char* text) {
  if (text == nullptr) {
    return nullptr;
  }
  const size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  return copy;
}

void ReplaceText(char*& slot, const char* text) {
  char* copy = CopyText(text); // copy first: `text` may be the old name itself
  delete[] slot;
  slot = copy;
}

} // namespace

VANTDataType::VANTDataType(uint64_t flags_, const char* name1_, const char* name2_)
    : flags(flags_), name1(CopyText(name1_)) {
  try {
    name2 = CopyText(name2_);
  } catch (...) {
    delete[] name1;
    throw;
  }
}

VANTDataType::VANTDataType(const VANTDataTypeDef& definition)
    : VANTDataType(definition.flags, definition.name1, definition.name2) {}

VANTDataType::VANTDataType(const VANTDataType& other)
    : VANTDataType(other.flags, other.name1, other.name2) {}

VANTDataType::VANTDataType(VANTDataType&& other) noexcept
    : flags(other.flags), name1(std::exchange(other.name1, nullptr)),
      name2(std::exchange(other.name2, nullptr)) {}

VANTDataType& VANTDataType::operator=(const VANTDataType& other) {
  if (this != &other) {
    VANTDataType copy(other);
    *this = std::move(copy);
  }
  return *this;
}

VANTDataType& VANTDataType::operator=(VANTDataType&& other) noexcept {
  if (this != &other) {
    delete[] name1;
    delete[] name2;
    flags = other.flags;
    name1 = std::exchange(other.name1, nullptr);
    name2 = std::exchange(other.name2, nullptr);
  }
  return *this;
}

VANTDataType::~VANTDataType() {
  delete[] name1;
  delete[] name2;
}

void VANTDataType::SetName1(const char* text) {
  ReplaceText(name1, text);
}
void VANTDataType::SetName2(const char* text) {
  ReplaceText(name2, text);
}
void VANTDataType::ClearName1ToEmpty() {
  ReplaceText(name1, "");
}
void VANTDataType::ClearName2ToEmpty() {
  ReplaceText(name2, "");
}

VANTDataTypeFilter::VANTDataTypeFilter(const VANTDataTypeFilter& other) noexcept
    : mask(other.mask), value(other.value), accept(other.accept), pattern1(other.pattern1),
      pattern2(other.pattern2) {}

VANTDataTypeFilter& VANTDataTypeFilter::operator=(const VANTDataTypeFilter& other) noexcept {
  if (this != &other) {
    mask = other.mask;
    value = other.value;
    accept = other.accept;
    pattern1 = other.pattern1;
    pattern2 = other.pattern2;
    DropCompiled();
  }
  return *this;
}

VANTDataTypeFilter::~VANTDataTypeFilter() {
  DropCompiled();
}

void VANTDataTypeFilter::DropCompiled() noexcept {
  // Compiled forms exist only once a pattern filter has been matched; the pattern matching
  // arrives with the regular-expression wrapper.
  m_regexp1.store(nullptr, std::memory_order_relaxed);
  m_regexp2.store(nullptr, std::memory_order_relaxed);
}
