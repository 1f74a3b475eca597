#pragma once
// VANTMuxQueue: the sorted queue of the sorting multiplexer. It holds copies of the items read
// (packets, records or whole elements) and hands them out in the order of their key, then of
// their input index, then of a tie rule within one input: the order in which they were read
// (packets) or its reverse (records and other elements).
//
// Layout: each input has a run, the items of that input that were read in order, kept in read
// order in a ring of entries, with their bytes in a ring of its own. Items are added one input
// element at a time; the items of an element that extend the run lie back to back in the element
// and are copied with one copy for all of them (one per stretch between items out of order). An
// item that would leave its input's run out of order goes to one heap shared by every input, with
// its bytes in a pool. A heap over the heads of the runs and of that shared heap gives the next
// item.
//
// Cost: for an input whose items come in order, adding an item is O(1) and taking it out
// O(log inputs); items out of order cost O(log of their number) both ways. Once the rings, the
// pool and the heaps have grown to the largest content seen, nothing is allocated any more.
// Memory: every byte held belongs to an item queued, except for the rings' free room; a ring only
// grows (doubling) when its input's queued bytes do not fit, so it holds at most about twice the
// most bytes that input ever had queued at once. Reset keeps the memory, Release gives it back.
//
// Thread: none of its own; the multiplexer uses it on its component thread only.
// Ownership: the queue owns the bytes of its items; Front() points into them until the next Pop,
//   Add or End.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <vector>

/// One queued item.
struct VANTMuxEntry {
  uint64_t key1;        // compared unsigned: PCAP ts_sec; else the timestamp, sign bit flipped
  uint64_t key2;        // PCAP ts_usec; else 0
  uint64_t tie;         // within one input: read number (oldest first) or its complement
  const uint8_t* bytes; // the item's bytes, held by the queue
  uint32_t size;        // byte count
  uint32_t extra;       // a word that travels with the item (PCAP: len2)
  uint32_t input;       // input index: equal keys leave by it, lowest first
  uint32_t wraps;       // internal: the item's bytes start its run's ring over at offset 0
};

class VANTMuxQueue {
public:
  enum class Ties : uint8_t {
    kOldestFirst, // equal keys of one input leave in the order they were added
    kNewestFirst, // ... in the reverse order
  };

  VANTMuxQueue();
  ~VANTMuxQueue();
  VANTMuxQueue(const VANTMuxQueue&) = delete;
  VANTMuxQueue& operator=(const VANTMuxQueue&) = delete;

  /// Empties the queue and prepares it for `inputs` inputs and a tie rule; keeps its memory.
  void Reset(uint32_t inputs, Ties ties);
  /// Empties the queue and gives back every allocation it holds.
  void Release() noexcept;

  /// Adding the items of one element read on `input`: Begin, then Add for each item in the
  /// order of the element, then End. Items added are copied and queued by End at the latest
  /// (End also after a failure half way: what was added stays queued).
  void Begin(uint32_t input);
  /// One item: its key, its bytes [bytes, bytes + size) in the element, at an address not below
  /// the end of the previous item's bytes, and its extra word.
  void Add(uint64_t key1, uint64_t key2, const uint8_t* bytes, uint32_t size, uint32_t extra);
  void End();

  size_t Size() const noexcept { return m_size; }
  bool Empty() const noexcept { return m_size == 0; }
  /// The next item. Only when not empty; valid until the next Pop, Begin, Add or End.
  const VANTMuxEntry& Front() const noexcept;
  /// Removes the next item (and frees its bytes). Only when not empty.
  void Pop();

  /// Bytes held for queued items and their free room (rings and pool), for tests of the bounds.
  size_t HeldBytes() const noexcept;
  /// Items held out of their input's run (in the shared heap), for tests.
  size_t OutOfRunItems() const noexcept { return m_disorder.size(); }

  /// The order of items: key, then input index, then the tie number.
  static bool Less(const VANTMuxEntry& a, const VANTMuxEntry& b) noexcept {
    if (a.key1 != b.key1) {
      return a.key1 < b.key1;
    }
    if (a.key2 != b.key2) {
      return a.key2 < b.key2;
    }
    return a.input != b.input ? a.input < b.input : a.tie < b.tie;
  }
  /// Signed timestamps as unsigned keys of the same order.
  static uint64_t SignedKey(int64_t t) noexcept {
    return static_cast<uint64_t>(t) ^ (uint64_t{1} << 63);
  }
  static int64_t FromSignedKey(uint64_t key) noexcept {
    return static_cast<int64_t>(key ^ (uint64_t{1} << 63));
  }

private:
  struct Run;

  /// Appends the pending items of the element being added to their input's run.
  void FlushPending();
  /// Room for n contiguous bytes at the end of run's ring; sets *wraps when they start the ring
  /// over at offset 0.
  uint8_t* Reserve(Run& run, size_t n, bool* wraps);
  /// Enlarges run's ring so that n more bytes fit after its content.
  void Grow(Run& run, size_t n);
  void PushEntry(Run& run, const VANTMuxEntry& entry);
  /// Takes one item out of the run (its head). Returns true when the run still has items.
  bool PopRun(Run& run);
  void AddOutOfRun(const VANTMuxEntry& entry);

  // The heap of sources: runs 0..inputs-1 and the out-of-run heap (index inputs).
  const VANTMuxEntry& Head(uint32_t source) const noexcept;
  bool SourceLess(uint32_t a, uint32_t b) const noexcept { return Less(Head(a), Head(b)); }
  void Activate(uint32_t source);
  void SiftUp(size_t at);
  void SiftDown(size_t at);
  void RemoveTop();

  std::vector<std::unique_ptr<Run>> m_runs;
  std::vector<VANTMuxEntry> m_disorder; // a min-heap by Less
  std::pmr::unsynchronized_pool_resource m_pool;
  std::vector<uint32_t> m_heap;     // sources, by their head
  std::vector<int32_t> m_positions; // position of each source in m_heap, -1 when not in it
  size_t m_size = 0;
  uint64_t m_reads = 0; // items added so far: the tie numbers
  Ties m_ties = Ties::kOldestFirst;

  // The element being added.
  uint32_t m_input = 0;
  std::vector<VANTMuxEntry> m_pending; // in run order; bytes still point into the element
  const uint8_t* m_pendingBegin = nullptr;
  const uint8_t* m_pendingEnd = nullptr;
};
