#include "component/vant_mux_queue.h"

#include <algorithm>
#include <cstring>

namespace {

// The smallest ring of bytes and of entries a run starts with.
constexpr size_t kMinRunBytes = 4096;
constexpr size_t kMinRunEntries = 64;
// Out-of-run bytes come from pools of size classes up to this size (a jumbo frame, a few
// records), larger ones from the general allocator.
constexpr size_t kLargestPooledBlock = 65536;

struct Greater {
  bool operator()(const VANTMuxEntry& a, const VANTMuxEntry& b) const noexcept {
    return VANTMuxQueue::Less(b, a);
  }
};

} // namespace

/// The run of one input: its in-order items in a ring of entries, their bytes in a ring of
/// bytes. Bytes are freed from the front as items leave: an item's bytes end where the next
/// item's free room begins. Once the end of the byte ring is reached, the next element starts over
/// at offset 0 if the front has room (`wrapped`), else the ring grows.
struct VANTMuxQueue::Run {
  std::unique_ptr<uint8_t[]> buffer;
  size_t capacity = 0;
  size_t begin = 0;   // first byte still held
  size_t end = 0;     // one past the last byte written
  size_t wrapEnd = 0; // while wrapped: the end of the bytes before the start-over
  bool wrapped = false;
  std::vector<VANTMuxEntry> entries; // ring; its size is 0 or a power of two
  size_t head = 0;
  size_t count = 0;

  size_t Mask() const noexcept { return entries.size() - 1; }
  const VANTMuxEntry& First() const noexcept { return entries[head]; }
  const VANTMuxEntry& Last() const noexcept { return entries[(head + count - 1) & Mask()]; }
  size_t Offset(const uint8_t* bytes) const noexcept {
    return static_cast<size_t>(bytes - buffer.get());
  }
  void Clear() noexcept {
    head = count = 0;
    begin = end = wrapEnd = 0;
    wrapped = false;
  }
  /// Room for `needed` entries in all.
  void EnsureEntries(size_t needed) {
    if (entries.size() >= needed) {
      return;
    }
    size_t size = std::max(kMinRunEntries, entries.size() * 2);
    while (size < needed) {
      size *= 2;
    }
    std::vector<VANTMuxEntry> grown(size);
    for (size_t k = 0; k < count; ++k) {
      grown[k] = entries[(head + k) & Mask()];
    }
    entries.swap(grown);
    head = 0;
  }
};

VANTMuxQueue::VANTMuxQueue() : m_pool(std::pmr::pool_options{0, kLargestPooledBlock}) {}

VANTMuxQueue::~VANTMuxQueue() {
  Release();
}

void VANTMuxQueue::Reset(uint32_t inputs, Ties ties) {
  for (const VANTMuxEntry& entry : m_disorder) {
    if (entry.size > 0) {
      m_pool.deallocate(const_cast<uint8_t*>(entry.bytes), entry.size, 1);
    }
  }
  m_disorder.clear();
  m_runs.resize(inputs);
  for (std::unique_ptr<Run>& run : m_runs) {
    if (run == nullptr) {
      run = std::make_unique<Run>();
    }
    run->Clear();
  }
  m_heap.clear();
  m_heap.reserve(inputs + size_t{1}); // never grows while items move
  m_positions.assign(inputs + size_t{1}, -1);
  m_size = 0;
  m_reads = 0;
  m_ties = ties;
  m_pending.clear();
  m_pendingBegin = m_pendingEnd = nullptr;
}

void VANTMuxQueue::Release() noexcept {
  std::vector<VANTMuxEntry>().swap(m_disorder);
  m_pool.release();
  std::vector<std::unique_ptr<Run>>().swap(m_runs);
  std::vector<uint32_t>().swap(m_heap);
  std::vector<int32_t>().swap(m_positions);
  std::vector<VANTMuxEntry>().swap(m_pending);
  m_pendingBegin = m_pendingEnd = nullptr;
  m_size = 0;
}

size_t VANTMuxQueue::HeldBytes() const noexcept {
  size_t bytes = 0;
  for (const std::unique_ptr<Run>& run : m_runs) {
    bytes += run->capacity + run->entries.size() * sizeof(VANTMuxEntry);
  }
  for (const VANTMuxEntry& entry : m_disorder) {
    bytes += entry.size;
  }
  return bytes + m_disorder.capacity() * sizeof(VANTMuxEntry);
}

// ---- Adding -------------------------------------------------------------------------------------

void VANTMuxQueue::Begin(uint32_t input) {
  m_input = input;
  m_pending.clear();
  m_pendingBegin = m_pendingEnd = nullptr;
}

void VANTMuxQueue::Add(uint64_t key1, uint64_t key2, const uint8_t* bytes, uint32_t size,
                       uint32_t extra) {
  const uint64_t read = m_reads++;
  const VANTMuxEntry entry{
      key1, key2, m_ties == Ties::kOldestFirst ? read : ~read, bytes, size, extra, m_input, 0};
  const Run& run = *m_runs[m_input];
  const VANTMuxEntry* tail = !m_pending.empty() ? &m_pending.back()
                             : run.count > 0    ? &run.Last()
                                                : nullptr;
  if (tail != nullptr && !Less(*tail, entry)) {
    // The items added so far are copied first: the run's bytes never hold those of an item
    // out of it, whatever the element's order.
    FlushPending();
    AddOutOfRun(entry);
    return;
  }
  if (m_pending.empty()) {
    m_pendingBegin = bytes;
  }
  m_pendingEnd = bytes + size;
  m_pending.push_back(entry);
}

void VANTMuxQueue::End() {
  FlushPending();
}

void VANTMuxQueue::FlushPending() {
  if (m_pending.empty()) {
    return;
  }
  Run& run = *m_runs[m_input];
  // Everything that may throw comes first: a failure leaves the run as it was.
  run.EnsureEntries(run.count + m_pending.size());
  const auto length = static_cast<size_t>(m_pendingEnd - m_pendingBegin);
  bool wraps = false;
  uint8_t* at = Reserve(run, length, &wraps);
  if (length > 0) {
    std::memcpy(at, m_pendingBegin, length); // one copy for the whole element
  }
  const bool wasEmpty = run.count == 0;
  for (size_t k = 0; k < m_pending.size(); ++k) {
    VANTMuxEntry entry = m_pending[k];
    entry.bytes = at + (entry.bytes - m_pendingBegin);
    entry.wraps = k == 0 && wraps ? 1 : 0;
    run.entries[(run.head + run.count) & run.Mask()] = entry;
    ++run.count;
  }
  m_size += m_pending.size();
  m_pending.clear();
  m_pendingBegin = m_pendingEnd = nullptr;
  if (wasEmpty) {
    Activate(m_input);
  }
}

uint8_t* VANTMuxQueue::Reserve(Run& run, size_t n, bool* wraps) {
  if (run.count == 0) {
    run.begin = run.end = run.wrapEnd = 0;
    run.wrapped = false;
  }
  if (!run.wrapped) {
    if (run.capacity - run.end < n && n <= run.begin) {
      // Start over at the front, behind the bytes still held there.
      run.wrapEnd = run.end;
      run.end = 0;
      run.wrapped = true;
      *wraps = true;
    }
  }
  const size_t room = run.wrapped ? run.begin - run.end : run.capacity - run.end;
  if (room < n) {
    Grow(run, n);
    *wraps = false;
  }
  uint8_t* at = run.buffer.get() + run.end;
  run.end += n;
  return at;
}

void VANTMuxQueue::Grow(Run& run, size_t n) {
  const size_t first = run.wrapped ? run.wrapEnd - run.begin : run.end - run.begin;
  const size_t second = run.wrapped ? run.end : 0;
  size_t capacity = std::max(kMinRunBytes, run.capacity * 2);
  while (capacity - first - second < n) {
    capacity *= 2;
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
  if (first > 0) { // a first ring has no buffer to copy from
    std::memcpy(buffer.get(), run.buffer.get() + run.begin, first);
  }
  if (second > 0) {
    std::memcpy(buffer.get() + first, run.buffer.get(), second);
  }
  // The entries in read order: those before the one that started over are in the first part.
  bool secondPart = false;
  for (size_t k = 0; k < run.count; ++k) {
    VANTMuxEntry& entry = run.entries[(run.head + k) & run.Mask()];
    secondPart = secondPart || entry.wraps != 0;
    const size_t offset = run.Offset(entry.bytes);
    entry.bytes = buffer.get() + (secondPart ? offset + first : offset - run.begin);
    entry.wraps = 0;
  }
  // The pending bytes may not point into the ring: they are copied after this.
  run.buffer = std::move(buffer);
  run.capacity = capacity;
  run.begin = 0;
  run.end = first + second;
  run.wrapEnd = 0;
  run.wrapped = false;
}

void VANTMuxQueue::AddOutOfRun(const VANTMuxEntry& entry) {
  VANTMuxEntry held = entry;
  held.bytes = nullptr;
  if (entry.size > 0) {
    auto* copy = static_cast<uint8_t*>(m_pool.allocate(entry.size, 1));
    std::memcpy(copy, entry.bytes, entry.size);
    held.bytes = copy;
  }
  try {
    m_disorder.push_back(held);
  } catch (...) {
    if (held.size > 0) {
      m_pool.deallocate(const_cast<uint8_t*>(held.bytes), held.size, 1);
    }
    throw;
  }
  std::push_heap(m_disorder.begin(), m_disorder.end(), Greater());
  ++m_size;
  const auto source = static_cast<uint32_t>(m_runs.size());
  if (m_positions[source] < 0) {
    Activate(source);
  } else {
    SiftUp(static_cast<size_t>(m_positions[source])); // its head may have become smaller
  }
}

// ---- Taking out ---------------------------------------------------------------------------------

const VANTMuxEntry& VANTMuxQueue::Head(uint32_t source) const noexcept {
  return source < m_runs.size() ? m_runs[source]->First() : m_disorder.front();
}

const VANTMuxEntry& VANTMuxQueue::Front() const noexcept {
  return Head(m_heap.front());
}

bool VANTMuxQueue::PopRun(Run& run) {
  const VANTMuxEntry& entry = run.First();
  if (entry.wraps != 0) {
    run.wrapped = false; // every byte before the start-over has left
  }
  run.begin = run.Offset(entry.bytes) + entry.size;
  run.head = (run.head + 1) & run.Mask();
  if (--run.count == 0) {
    run.Clear();
    return false;
  }
  return true;
}

void VANTMuxQueue::Pop() {
  const uint32_t source = m_heap.front();
  --m_size;
  if (source < m_runs.size()) {
    if (PopRun(*m_runs[source])) {
      SiftDown(0);
    } else {
      RemoveTop();
    }
    return;
  }
  const VANTMuxEntry top = m_disorder.front();
  std::pop_heap(m_disorder.begin(), m_disorder.end(), Greater());
  m_disorder.pop_back();
  if (top.size > 0) {
    m_pool.deallocate(const_cast<uint8_t*>(top.bytes), top.size, 1);
  }
  if (m_disorder.empty()) {
    RemoveTop();
  } else {
    SiftDown(0);
  }
}

// ---- The heap of sources
// --------------------------------------------------------------------------

void VANTMuxQueue::Activate(uint32_t source) {
  m_positions[source] = static_cast<int32_t>(m_heap.size());
  m_heap.push_back(source);
  SiftUp(m_heap.size() - 1);
}

void VANTMuxQueue::SiftUp(size_t at) {
  const uint32_t source = m_heap[at];
  while (at > 0) {
    const size_t parent = (at - 1) / 2;
    if (!SourceLess(source, m_heap[parent])) {
      break;
    }
    m_heap[at] = m_heap[parent];
    m_positions[m_heap[at]] = static_cast<int32_t>(at);
    at = parent;
  }
  m_heap[at] = source;
  m_positions[source] = static_cast<int32_t>(at);
}

void VANTMuxQueue::SiftDown(size_t at) {
  const uint32_t source = m_heap[at];
  const size_t size = m_heap.size();
  for (;;) {
    size_t child = 2 * at + 1;
    if (child >= size) {
      break;
    }
    if (child + 1 < size && SourceLess(m_heap[child + 1], m_heap[child])) {
      ++child;
    }
    if (!SourceLess(m_heap[child], source)) {
      break;
    }
    m_heap[at] = m_heap[child];
    m_positions[m_heap[at]] = static_cast<int32_t>(at);
    at = child;
  }
  m_heap[at] = source;
  m_positions[source] = static_cast<int32_t>(at);
}

void VANTMuxQueue::RemoveTop() {
  m_positions[m_heap.front()] = -1;
  const uint32_t last = m_heap.back();
  m_heap.pop_back();
  if (!m_heap.empty()) {
    m_heap.front() = last;
    m_positions[last] = 0;
    SiftDown(0);
  }
}
