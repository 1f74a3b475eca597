#include "sync/vant_condition.h"

#include "util/vant_exceptions.h"
#include "util/vant_report_hook.h"

#include <cstdio>

namespace {

[[noreturn]] void RefuseSlot(int32_t i) {
  char text[96];
  std::snprintf(text, sizeof text, "VANTCondition2 can't hold a waiter in slot %d (0 to %d)", i,
                VANTCondition2::kMaxWaiters - 1);
  VANT::ReportThroughHook(text, VANT::kError);
  throw VANT::ErrorException;
}

// Turns the result of a wait on (own event, abort event) into the condition's exceptions; called
// with the mutex released.
void ThrowIfAbnormal(int32_t result) {
  switch (result) {
  case 0:
    return;
  case 1:
    throw VANT::StopException;
  case VANT::kWaitTimeout:
    throw VANT::TimeoutException;
  default:
    throw VANT::WaitFailedException;
  }
}

int32_t WaitOnPair(VANTEvent* event, VANTEvent* abortEvent, int32_t timeoutUs) {
  VANTEvent* const events[2] = {event, abortEvent};
  return VANTEvent::Wait(abortEvent != nullptr ? 2 : 1, events, timeoutUs);
}

} // namespace

// ---------------------------------------------------------------------------------------------

VANTCondition2::VANTCondition2(VANTMutex* mutex, VANTEvent* abortEvent, int32_t timeoutUs) noexcept
    : m_mutex(mutex), m_abortEvent(abortEvent), m_timeout(timeoutUs) {}

VANTCondition2::~VANTCondition2() {
  for (int32_t i = 0; i < m_count; ++i) {
    delete m_waiterEvents[i];
  }
}

int32_t VANTCondition2::AddWaiter() {
  if (m_count >= kMaxWaiters) {
    RefuseSlot(m_count);
  }
  const int32_t i = m_count;
  m_waiterEvents[i] = new VANTEvent(false, nullptr);
  m_waiting[i] = false;
  m_count = i + 1;
  return i;
}

void VANTCondition2::ResetWaiter(int32_t i) {
  if (i < 0 || i >= kMaxWaiters) {
    RefuseSlot(i);
  }
  // A slot skipped by an earlier growth has no event yet: create it rather than reset nothing.
  if (m_waiterEvents[i] == nullptr) {
    m_waiterEvents[i] = new VANTEvent(false, nullptr);
  } else {
    m_waiterEvents[i]->Reset();
  }
  m_waiting[i] = false;
  if (i >= m_count) {
    m_count = i + 1;
  }
}

VANTEvent* VANTCondition2::SlotEvent(int32_t i) {
  if (i < 0 || i >= m_count || m_waiterEvents[i] == nullptr) {
    m_mutex->Unlock();
    RefuseSlot(i);
  }
  return m_waiterEvents[i];
}

void VANTCondition2::Wait(int32_t i) {
  VANTEvent* event = SlotEvent(i);
  event->Reset();
  m_waiting[i] = true;
  m_mutex->Unlock();
  const int32_t result = WaitOnPair(event, m_abortEvent, m_timeout); // two events: never throws
  m_mutex->Lock();
  m_waiting[i] = false;
  if (result != 0) {
    m_mutex->Unlock();
    ThrowIfAbnormal(result);
  }
}

void VANTCondition2::BeginWait(int32_t i, VANTEvent*& event, VANTEvent*& abortEvent) {
  VANTEvent* own = SlotEvent(i);
  own->Reset();
  m_waiting[i] = true;
  event = own;
  abortEvent = m_abortEvent;
  m_mutex->Unlock();
}

void VANTCondition2::EndWait(int32_t i) noexcept {
  m_mutex->Lock();
  if (i >= 0 && i < m_count) {
    m_waiting[i] = false;
  }
}

void VANTCondition2::EndWait(int32_t i, int32_t status) {
  EndWait(i);
  if (status == 0) {
    return;
  }
  m_mutex->Unlock();
  throw status == 1 ? VANT::StopException : VANT::WaitFailedException;
}

void VANTCondition2::Broadcast() noexcept {
  for (int32_t i = 0; i < m_count; ++i) {
    if (m_waiting[i]) {
      m_waiterEvents[i]->Set();
    }
  }
}

// ---------------------------------------------------------------------------------------------

VANTCondition::VANTCondition(VANTMutex* mutex, VANTEvent* abortEvent, int32_t timeoutUs) noexcept
    : m_mutex(mutex), m_abortEvent(abortEvent), m_timeout(timeoutUs) {}

VANTCondition::~VANTCondition() {
  while (m_front != nullptr) {
    EventInPool* next = m_front->next;
    delete m_front;
    m_front = next;
  }
}

void VANTCondition::Unlink(EventInPool* item) noexcept {
  (item->previous != nullptr ? item->previous->next : m_front) = item->next;
  (item->next != nullptr ? item->next->previous : m_back) = item->previous;
  item->previous = item->next = nullptr;
}

void VANTCondition::PushFront(EventInPool* item) noexcept {
  item->previous = nullptr;
  item->next = m_front;
  (m_front != nullptr ? m_front->previous : m_back) = item;
  m_front = item;
}

void VANTCondition::PushBack(EventInPool* item) noexcept {
  item->next = nullptr;
  item->previous = m_back;
  (m_back != nullptr ? m_back->next : m_front) = item;
  m_back = item;
}

VANTCondition::EventInPool* VANTCondition::TakeEvent() {
  EventInPool* item = m_back;
  if (item != nullptr && item->free) {
    Unlink(item);
    item->event.Reset();
  } else {
    item = new EventInPool;
    ++m_size;
  }
  PushFront(item);
  item->free = false;
  return item;
}

void VANTCondition::GiveBack(EventInPool* item) noexcept {
  item->free = true;
  if (m_size > 1) {
    Unlink(item);
    PushBack(item);
  }
}

void VANTCondition::Wait() {
  EventInPool* item = TakeEvent();
  m_mutex->Unlock();
  const int32_t result = WaitOnPair(&item->event, m_abortEvent, m_timeout);
  m_mutex->Lock();
  GiveBack(item);
  if (result != 0) {
    m_mutex->Unlock();
    ThrowIfAbnormal(result);
  }
}

VANTCondition::EventInPool* VANTCondition::BeginWait() {
  EventInPool* item = TakeEvent();
  m_mutex->Unlock();
  return item;
}

void VANTCondition::EndWait(EventInPool* item) {
  m_mutex->Lock();
  if (item != nullptr) {
    GiveBack(item);
  }
}

void VANTCondition::EndWait(EventInPool* item, int32_t status) {
  EndWait(item);
  if (status == 0) {
    return;
  }
  m_mutex->Unlock();
  throw status == 1 ? VANT::StopException : VANT::WaitFailedException;
}

void VANTCondition::Broadcast() noexcept {
  for (EventInPool* item = m_front; item != nullptr && !item->free; item = item->next) {
    item->event.Set();
  }
}
