#include "dataflow/vant_data_type.h"

#include "util/vant_regexp.h"

#include <cstring>
#include <mutex>
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

// Matching writes an expression's capture state, so matches of one filter are serialised. Filters
// with patterns are matched when inputs and outputs are checked, never per sample.
std::mutex& MatchLock() {
  static std::mutex lock;
  return lock;
}

// Setting the text a type already has changes nothing, not even the pointer: a connected
// component on another thread may be comparing it at that moment.
void ReplaceText(char*& slot, const char* text) {
  if (slot == text || (slot != nullptr && text != nullptr && std::strcmp(slot, text) == 0)) {
    return;
  }
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

bool VANTDataTypeFilter::Accepts(const VANTDataType& type) const {
  if (!AcceptsFlags(type.flags)) {
    return false;
  }
  if ((type.flags & VANT::NoName1Check) == 0 && pattern1 != nullptr &&
      (type.name1 == nullptr || !Matches(m_regexp1, pattern1, type.name1))) {
    return false;
  }
  if ((type.flags & VANT::NoName2Check) == 0 && pattern2 != nullptr &&
      (type.name2 == nullptr || !Matches(m_regexp2, pattern2, type.name2))) {
    return false;
  }
  return true;
}

bool VANTDataTypeFilter::Matches(std::atomic<VANTRegExp*>& compiled, const char* pattern,
                                 const char* text) const {
  VANTRegExp* regexp = compiled.load(std::memory_order_acquire); // pairs with the release below
  if (regexp == nullptr) {
    auto* fresh = new VANTRegExp(pattern, 0);
    if (compiled.compare_exchange_strong(regexp, fresh, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      regexp = fresh;
    } else {
      delete fresh; // another thread published its copy first; `regexp` now holds it
    }
  }
  // Matching writes the expression's capture state: one thread at a time per filter.
  std::lock_guard<std::mutex> guard(MatchLock());
  return regexp->Match(text, 0);
}

void VANTDataTypeFilter::DropCompiled() noexcept {
  delete m_regexp1.exchange(nullptr, std::memory_order_acq_rel);
  delete m_regexp2.exchange(nullptr, std::memory_order_acq_rel);
}
