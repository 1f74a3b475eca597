#pragma once
// The runtime's ring-indexed array: power-of-two capacity, so every index is a mask, and a start
// offset, so that elements can be dropped at the front without moving the rest. Waits collect
// their events in one, enum values are arrays of strings, statistics keep their period ring in one.

#include "util/vant_check.h"

#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace VANT {

/// Smallest power of two not below n (0 for n <= 0, 1 for 1). Throws std::bad_alloc beyond 2^30.
inline int32_t PowerOfTwoNotBelow(int64_t n) {
  if (n <= 0) {
    return 0;
  }
  if (n > (int64_t{1} << 30)) {
    throw std::bad_alloc();
  }
  int32_t capacity = 1;
  while (capacity < n) {
    capacity <<= 1;
  }
  return capacity;
}

} // namespace VANT

/// VANTArray<T>: size elements in a storage of capacity elements (0 or a power of two); element i
/// lives at data[(start + i) & (capacity - 1)].
///
/// Every one of the capacity slots holds a constructed T (value-initialised when not set), so
/// growing within the capacity only moves the size. operator[] does not check bounds (debug
/// builds assert); At() grows the array instead.
///
/// Ownership: owned storage is allocated and destroyed by the array. Storage given to ReferTo()
/// stays the caller's; the array never frees it, and the first growth beyond its size moves the
/// elements into owned storage. Copies are deep and owned. A growth or resize invalidates
/// references to elements.
/// Thread: none of its own; the owner's lock guards a shared array.
template <class T>
class VANTArray {
public:
  VANTArray() noexcept = default;
  /// n value-initialised elements (zero for numbers); capacity the smallest power of two not below
  /// n.
  explicit VANTArray(int32_t n) { SetSize(n); }
  VANTArray(const VANTArray& other) { CopyFrom(other); }
  VANTArray(VANTArray&& other) noexcept { Swap(other); }
  VANTArray& operator=(const VANTArray& other) {
    if (this != &other) {
      VANTArray copy(other);
      Swap(copy);
    }
    return *this;
  }
  VANTArray& operator=(VANTArray&& other) noexcept {
    if (this != &other) {
      VANTArray discarded(std::move(other));
      Swap(discarded);
    }
    return *this;
  }
  virtual ~VANTArray() { FreeStorage(); }

  /// Discards every element, then holds n default-constructed ones from start 0.
  void SetSize(int32_t n) {
    const int32_t capacity = VANT::PowerOfTwoNotBelow(n);
    T* data = capacity == 0 ? nullptr : new T[static_cast<std::size_t>(capacity)]();
    FreeStorage();
    m_data = data;
    m_capacity = capacity;
    m_size = n < 0 ? 0 : n;
    m_start = 0;
    m_owned = true;
  }

  /// Keeps the first min(size, n) elements, moved in ring order to positions 0 onward of a new
  /// owned storage of the smallest power of two not below n; the size becomes n.
  void Resize(int32_t n) {
    const int32_t size = n < 0 ? 0 : n;
    Reallocate(VANT::PowerOfTwoNotBelow(size), size < m_size ? size : m_size);
    m_size = size;
  }

  /// Refers to the caller's storage of capacity elements (a power of two), of which the first
  /// size are in use. Returns false, changing nothing, for a null storage with a capacity, a
  /// capacity that is not 0 or a power of two, or a size outside 0..capacity.
  [[nodiscard]] bool ReferTo(T* data, int32_t capacity, int32_t size) {
    if (capacity < 0 || (capacity & (capacity - 1)) != 0 || size < 0 || size > capacity ||
        (data == nullptr && capacity != 0)) {
      return false;
    }
    FreeStorage();
    m_data = data;
    m_capacity = capacity;
    m_size = size;
    m_start = 0;
    m_owned = false;
    return true;
  }

  /// Element i, 0 <= i < Capacity() (checked: VANT_ASSERT).
  T& operator[](int32_t i) noexcept {
    VANT_ASSERT(i >= 0 && i < m_capacity, "array index outside the storage");
    return m_data[(m_start + i) & (m_capacity - 1)];
  }
  const T& operator[](int32_t i) const noexcept {
    VANT_ASSERT(i >= 0 && i < m_capacity, "array index outside the storage");
    return m_data[(m_start + i) & (m_capacity - 1)];
  }

  /// Element i, growing the array when needed: within owned storage the size only grows to
  /// i + 1; otherwise the elements move to owned storage of the smallest power of two above i.
  /// Throws std::out_of_range for a negative index.
  T& At(int32_t i) {
    if (i < 0) {
      throw std::out_of_range("negative array index");
    }
    if (m_owned && i < m_capacity) {
      if (i >= m_size) {
        m_size = i + 1;
      }
      return (*this)[i];
    }
    if (!m_owned && i < m_size) {
      return (*this)[i];
    }
    // The smallest power of two strictly above i.
    Reallocate(VANT::PowerOfTwoNotBelow(int64_t{i} + 1), m_size);
    m_size = i + 1;
    return (*this)[i];
  }

  /// Appends at the end, growing as At() does. Taken by value: the argument may be an element
  /// of this array, which a growth moves.
  void PushBack(T value) { At(m_size) = std::move(value); }

  /// Drops the first n elements (all when n >= size) by moving the start; the dropped slots are
  /// reset to a default value so that they hold nothing.
  void DropFront(int32_t n) {
    if (n <= 0) {
      return;
    }
    const int32_t dropped = n < m_size ? n : m_size;
    for (int32_t i = 0; i < dropped; ++i) {
      (*this)[i] = T();
    }
    m_start = m_capacity == 0 ? 0 : (m_start + dropped) & (m_capacity - 1);
    m_size -= dropped;
  }

  void Swap(VANTArray& other) noexcept {
    std::swap(m_capacity, other.m_capacity);
    std::swap(m_size, other.m_size);
    std::swap(m_start, other.m_start);
    std::swap(m_data, other.m_data);
    std::swap(m_owned, other.m_owned);
  }

  int32_t Size() const noexcept { return m_size; }
  int32_t Capacity() const noexcept { return m_capacity; }
  bool IsEmpty() const noexcept { return m_size == 0; }
  bool IsOwned() const noexcept { return m_owned; }

private:
  void FreeStorage() noexcept {
    if (m_owned) {
      delete[] m_data;
    }
    m_data = nullptr;
    m_capacity = 0;
    m_size = 0;
    m_start = 0;
    m_owned = true;
  }
  // New owned storage of capacity slots holding the first `keep` elements at 0 onward; size is
  // left to the caller. Moves only when a move cannot throw, so that a failure keeps the array.
  void Reallocate(int32_t capacity, int32_t keep) {
    T* data = capacity == 0 ? nullptr : new T[static_cast<std::size_t>(capacity)]();
    try {
      for (int32_t i = 0; i < keep; ++i) {
        if constexpr (std::is_nothrow_move_assignable_v<T>) {
          data[i] = std::move((*this)[i]);
        } else {
          data[i] = (*this)[i];
        }
      }
    } catch (...) {
      delete[] data;
      throw;
    }
    FreeStorage();
    m_data = data;
    m_capacity = capacity;
    m_size = keep;
    m_start = 0;
    m_owned = true;
  }
  void CopyFrom(const VANTArray& other) {
    VANTArray copy;
    const int32_t capacity = VANT::PowerOfTwoNotBelow(other.m_size);
    copy.m_data = capacity == 0 ? nullptr : new T[static_cast<std::size_t>(capacity)]();
    copy.m_capacity = capacity;
    for (int32_t i = 0; i < other.m_size; ++i) {
      copy.m_data[i] = other[i];
    }
    copy.m_size = other.m_size;
    Swap(copy);
  }

  int32_t m_capacity = 0;
  int32_t m_size = 0;
  int32_t m_start = 0;
  T* m_data = nullptr;
  bool m_owned = true;
};
