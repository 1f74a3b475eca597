#pragma once
// Doubly linked lists of the runtime: modules keep their inputs, outputs, properties, actions and
// threads in them, definitions and groups are listed in them, and each hash table bucket is one.

#include "util/vant_check.h"

#include <cstdint>
#include <utility>

/// Polymorphic root of every list item.
class VANTBasicListItem {
public:
  VANTBasicListItem() = default;
  VANTBasicListItem(const VANTBasicListItem&) = default;
  VANTBasicListItem& operator=(const VANTBasicListItem&) = default;
  virtual ~VANTBasicListItem() = default;
};

/// Polymorphic root of every list.
class VANTBasicList {
public:
  VANTBasicList() = default;
  VANTBasicList(const VANTBasicList&) = default;
  VANTBasicList& operator=(const VANTBasicList&) = default;
  virtual ~VANTBasicList() = default;
};

template <class T>
class VANTList;

/// VANTListItem<T>: one value of a VANTList with its links; null previous at the head, null next
/// at the tail.
/// Ownership: a heap object owned by the list it is linked in (or by whoever detached it).
template <class T>
class VANTListItem : public VANTBasicListItem {
public:
  template <class... Args>
  explicit VANTListItem(Args&&... args) : m_value(std::forward<Args>(args)...) {}
  VANTListItem(const VANTListItem&) = delete;
  VANTListItem& operator=(const VANTListItem&) = delete;
  ~VANTListItem() override = default;

  VANTListItem* Previous() const noexcept { return m_previous; }
  VANTListItem* Next() const noexcept { return m_next; }
  T& Value() noexcept { return m_value; }
  const T& Value() const noexcept { return m_value; }

private:
  friend class VANTList<T>;
  VANTListItem* m_previous = nullptr;
  VANTListItem* m_next = nullptr;
  T m_value;
};

/// VANTList<T>: a doubly linked list of heap items. Iterate with
///   for (auto* item = list.Head(); item != nullptr; item = item->Next()) ...
/// or over the values with a range-for.
///
/// Ownership: the list owns its items and deletes them on Remove, Clear and destruction; a copy
/// copies every value into new items. Removing an item invalidates only that item.
/// Thread: none of its own; the owner's lock guards a shared list.
template <class T>
class VANTList : public VANTBasicList {
public:
  using Item = VANTListItem<T>;

  VANTList() noexcept = default;
  VANTList(const VANTList& other) : VANTBasicList() {
    for (const Item* item = other.m_head; item != nullptr; item = item->m_next) {
      PushBack(item->m_value);
    }
  }
  VANTList(VANTList&& other) noexcept : VANTBasicList() { Swap(other); }
  VANTList& operator=(const VANTList& other) {
    if (this != &other) {
      VANTList copy(other);
      Swap(copy);
    }
    return *this;
  }
  VANTList& operator=(VANTList&& other) noexcept {
    if (this != &other) {
      Clear();
      Swap(other);
    }
    return *this;
  }
  ~VANTList() override { Clear(); }

  /// The new item becomes the head; returns it.
  template <class... Args>
  Item* PushFront(Args&&... args) {
    Item* item = new Item(std::forward<Args>(args)...);
    item->m_next = m_head;
    (m_head != nullptr ? m_head->m_previous : m_tail) = item;
    m_head = item;
    ++m_count;
    return item;
  }
  /// The new item becomes the tail; returns it.
  template <class... Args>
  Item* PushBack(Args&&... args) {
    Item* item = new Item(std::forward<Args>(args)...);
    AttachBack(item);
    return item;
  }
  /// The new item goes just before position (an item of this list; null: at the tail).
  template <class... Args>
  Item* InsertBefore(Item* position, Args&&... args) {
    if (position == nullptr) {
      return PushBack(std::forward<Args>(args)...);
    }
    Item* item = new Item(std::forward<Args>(args)...);
    item->m_next = position;
    item->m_previous = position->m_previous;
    (position->m_previous != nullptr ? position->m_previous->m_next : m_head) = item;
    position->m_previous = item;
    ++m_count;
    return item;
  }
  /// The new item goes just after position (an item of this list; null: at the head).
  template <class... Args>
  Item* InsertAfter(Item* position, Args&&... args) {
    return InsertBefore(position != nullptr ? position->m_next : m_head,
                        std::forward<Args>(args)...);
  }
  /// Unlinks and deletes an item of this list; null is ignored.
  void Remove(Item* item) noexcept { delete Detach(item); }
  /// Removes the first item whose value equals value; false when there is none.
  bool RemoveValue(const T& value) {
    Item* item = Find(value);
    if (item == nullptr) {
      return false;
    }
    Remove(item);
    return true;
  }
  /// First item whose value equals value, or null.
  Item* Find(const T& value) const {
    for (Item* item = m_head; item != nullptr; item = item->m_next) {
      if (item->m_value == value) {
        return item;
      }
    }
    return nullptr;
  }
  /// Unlinks an item of this list without deleting it; the caller owns it afterwards.
  /// A null item gives null.
  [[nodiscard]] Item* Detach(Item* item) noexcept {
    if (item == nullptr) {
      return nullptr;
    }
    VANT_ASSERT(m_count > 0, "detaching from an empty list");
    (item->m_previous != nullptr ? item->m_previous->m_next : m_head) = item->m_next;
    (item->m_next != nullptr ? item->m_next->m_previous : m_tail) = item->m_previous;
    item->m_previous = item->m_next = nullptr;
    --m_count;
    return item;
  }
  /// Links an unlinked heap item at the tail; the list owns it afterwards. Null is ignored.
  void AttachBack(Item* item) noexcept {
    if (item == nullptr) {
      return;
    }
    item->m_previous = m_tail;
    item->m_next = nullptr;
    (m_tail != nullptr ? m_tail->m_next : m_head) = item;
    m_tail = item;
    ++m_count;
  }
  /// Deletes every item from head to tail.
  void Clear() noexcept {
    Item* item = m_head;
    m_head = m_tail = nullptr;
    m_count = 0;
    while (item != nullptr) {
      Item* next = item->m_next;
      delete item;
      item = next;
    }
  }
  void Swap(VANTList& other) noexcept {
    std::swap(m_head, other.m_head);
    std::swap(m_tail, other.m_tail);
    std::swap(m_count, other.m_count);
  }

  Item* Head() const noexcept { return m_head; }
  Item* Tail() const noexcept { return m_tail; }
  int32_t Count() const noexcept { return m_count; }
  bool IsEmpty() const noexcept { return m_count == 0; }

  /// Forward iteration over the values, head to tail.
  template <class V>
  class Iterator {
  public:
    explicit Iterator(Item* item) noexcept : m_item(item) {}
    V& operator*() const noexcept { return m_item->Value(); }
    V* operator->() const noexcept { return &m_item->Value(); }
    Iterator& operator++() noexcept {
      m_item = m_item->Next();
      return *this;
    }
    bool operator==(const Iterator& other) const noexcept { return m_item == other.m_item; }

  private:
    Item* m_item;
  };
  Iterator<T> begin() noexcept { return Iterator<T>(m_head); }
  Iterator<T> end() noexcept { return Iterator<T>(nullptr); }
  Iterator<const T> begin() const noexcept { return Iterator<const T>(m_head); }
  Iterator<const T> end() const noexcept { return Iterator<const T>(nullptr); }

private:
  Item* m_head = nullptr;
  Item* m_tail = nullptr;
  int32_t m_count = 0;
};
