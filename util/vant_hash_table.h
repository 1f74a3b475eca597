#pragma once
// Chained hash tables of the runtime, keyed by strings: environment tables of launched processes
// and other name-to-value maps.

#include "util/vant_array.h"
#include "util/vant_list.h"
#include "util/vant_pair.h"
#include "util/vant_string.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace VANT {

/// Level (initial value) of the string hash.
inline constexpr uint64_t StringHashLevel = 0xDEAD;

/// A 64-bit hash of length bytes: three 64-bit words take 24-byte blocks little-endian, each block
/// followed by a reversible mix, the last 0..23 bytes and the length go in before a final mix.
/// `level` seeds it; a null data hashes as empty. Any byte change changes the hash.
uint64_t Hash64(const void* data, std::size_t length, uint64_t level) noexcept;

} // namespace VANT

/// VANTHashFunction<K>: turns a key into a hash; the tables use its low 32 bits.
template <class K>
class VANTHashFunction {
public:
  VANTHashFunction() = default;
  VANTHashFunction(const VANTHashFunction&) = default;
  VANTHashFunction& operator=(const VANTHashFunction&) = default;
  virtual uint64_t Hash(const K& key) const = 0;
  virtual ~VANTHashFunction() = default;
};

/// VANTStringHashFunction: VANT::Hash64 of a stacked string's characters (terminator excluded) at
/// level VANT::StringHashLevel.
class VANTStringHashFunction : public VANTHashFunction<VANTStackedString<40>> {
public:
  uint64_t Hash(const VANTStackedString<40>& key) const override;
  ~VANTStringHashFunction() override = default;
};

/// Position of an iteration over a hash table: before the start while bucket is -1.
struct VANTHashIterator {
  int32_t bucket = -1;
  void* item = nullptr;
  void* pair = nullptr;
};

/// Polymorphic root of the hash tables: iteration without knowing the entry types.
class VANTBasicHashTable {
public:
  VANTBasicHashTable() = default;
  VANTBasicHashTable(const VANTBasicHashTable&) = delete;
  VANTBasicHashTable& operator=(const VANTBasicHashTable&) = delete;
  /// Advances the iterator and returns the next entry's pair, or null at the end.
  virtual void* NextEntry(VANTHashIterator& iterator) const = 0;
  virtual ~VANTBasicHashTable() = default;
};

/// One bucket entry: the pair and the 32-bit hash of its key, kept so that growing the table
/// never hashes again.
template <class K, class V>
struct VANTHashEntry {
  template <class Key>
  VANTHashEntry(Key&& key, uint32_t hash) : m_pair(K(std::forward<Key>(key)), V()), m_hash(hash) {}
  VANTPair<K, V> m_pair;
  uint32_t m_hash;
};

/// VANTHashTable<K, V, H>: a chained hash table of 2^bits buckets, each a VANTList of entries in
/// insertion order.
///
/// Insert never looks for an equal key: a repeated key gives a second entry, found after the
/// first. With grows set, the bucket count doubles when the count first exceeds it (16 buckets
/// become 32 at the 17th entry). Find and Remove compare the stored hash before the key.
/// Iteration: bucket 0 to the last, head to tail within a bucket:
///   VANTHashIterator it;
///   while (auto* pair = table.Next(it)) { ... pair->m_first, pair->m_second ... }
/// Insert (which may grow the table), Remove and Clear end every iteration in progress.
///
/// Ownership: the table owns its buckets and entries; returned pointers and references stay
/// valid until the entry is removed or the table destroyed (growing moves no entry).
/// Thread: none of its own; the owner's lock guards a shared table.
template <class K, class V, class H>
class VANTHashTable : public VANTBasicHashTable {
public:
  using Pair = VANTPair<K, V>;
  using Entry = VANTHashEntry<K, V>;
  using Bucket = VANTList<Entry>;

  /// The bucket count is the smallest power of two not below buckets (at least 1).
  explicit VANTHashTable(int32_t buckets = 16, bool grows = true)
      : m_buckets(std::make_unique<VANTArray<Bucket>>()), m_grows(grows) {
    Rehash(buckets < 1 ? 1 : buckets);
  }
  ~VANTHashTable() override = default;

  /// Adds an entry (copy of key, default value) at the tail of its bucket; returns its value.
  V& Insert(const K& key) {
    const uint32_t hash = HashOf(key);
    // Growing first leaves the table unchanged when an allocation fails; the new entry ends at
    // the tail of its bucket either way.
    const int32_t buckets = BucketCount();
    if (m_grows && m_count + 1 > buckets && m_bits < kMaxBits) {
      Rehash(static_cast<int64_t>((m_count + 1) / buckets + 1) * buckets);
    }
    Entry& entry = BucketFor(hash).PushBack(key, hash)->Value();
    ++m_count;
    return entry.m_pair.m_second;
  }

  /// The value of the first entry with this key, or null.
  V* Find(const K& key) {
    typename Bucket::Item* item = FindItem(key, HashOf(key));
    return item == nullptr ? nullptr : &item->Value().m_pair.m_second;
  }
  const V* Find(const K& key) const {
    typename Bucket::Item* item = FindItem(key, HashOf(key));
    return item == nullptr ? nullptr : &item->Value().m_pair.m_second;
  }

  /// Removes the first entry with this key; false when there is none.
  bool Remove(const K& key) {
    const uint32_t hash = HashOf(key);
    typename Bucket::Item* item = FindItem(key, hash);
    if (item == nullptr) {
      return false;
    }
    BucketFor(hash).Remove(item);
    --m_count;
    return true;
  }

  /// Removes every entry; the bucket count stays.
  void Clear() noexcept {
    for (int32_t i = 0; i < m_buckets->Size(); ++i) {
      (*m_buckets)[i].Clear();
    }
    m_count = 0;
  }

  void* NextEntry(VANTHashIterator& iterator) const override {
    auto* item = static_cast<typename Bucket::Item*>(iterator.item);
    item = item == nullptr ? nullptr : item->Next();
    while (item == nullptr) {
      if (iterator.bucket + 1 >= m_buckets->Size()) {
        iterator.bucket = m_buckets->Size();
        iterator.item = nullptr;
        iterator.pair = nullptr;
        return nullptr;
      }
      ++iterator.bucket;
      item = (*m_buckets)[iterator.bucket].Head();
    }
    iterator.item = item;
    iterator.pair = &item->Value().m_pair;
    return iterator.pair;
  }
  /// Typed form of NextEntry.
  Pair* Next(VANTHashIterator& iterator) const { return static_cast<Pair*>(NextEntry(iterator)); }

  int32_t Count() const noexcept { return m_count; }
  int32_t BucketCount() const noexcept { return int32_t{1} << m_bits; }
  bool Grows() const noexcept { return m_grows; }

private:
  static constexpr int32_t kMaxBits = 30;

  uint32_t HashOf(const K& key) const { return static_cast<uint32_t>(m_hashFunction.Hash(key)); }
  Bucket& BucketFor(uint32_t hash) const {
    return (*m_buckets)[static_cast<int32_t>(hash & static_cast<uint32_t>(BucketCount() - 1))];
  }
  typename Bucket::Item* FindItem(const K& key, uint32_t hash) const {
    for (auto* item = BucketFor(hash).Head(); item != nullptr; item = item->Next()) {
      if (item->Value().m_hash == hash && item->Value().m_pair.m_first == key) {
        return item;
      }
    }
    return nullptr;
  }
  // Moves every entry, in iteration order, to the tail of its bucket among 2^ceil(log2 n).
  void Rehash(int64_t n) {
    int32_t bits = 0;
    while (bits < kMaxBits && (int64_t{1} << bits) < n) {
      ++bits;
    }
    auto buckets = std::make_unique<VANTArray<Bucket>>(int32_t{1} << bits);
    const uint32_t mask = (uint32_t{1} << bits) - 1;
    for (int32_t i = 0; i < m_buckets->Size(); ++i) {
      Bucket& old = (*m_buckets)[i];
      for (auto* item = old.Head(); item != nullptr; item = old.Head()) {
        (void)old.Detach(item);
        (*buckets)[static_cast<int32_t>(item->Value().m_hash & mask)].AttachBack(item);
      }
    }
    m_buckets = std::move(buckets);
    m_bits = bits;
  }

  H m_hashFunction;
  std::unique_ptr<VANTArray<Bucket>> m_buckets;
  int32_t m_bits = 0;
  int32_t m_count = 0;
  bool m_grows;
};

/// VANTStringHashTable<V>: a hash table keyed by stacked strings with the string hash.
template <class V>
class VANTStringHashTable : public VANTHashTable<VANTStackedString<40>, V, VANTStringHashFunction> {
public:
  using VANTHashTable<VANTStackedString<40>, V, VANTStringHashFunction>::VANTHashTable;
  ~VANTStringHashTable() override = default;
};
