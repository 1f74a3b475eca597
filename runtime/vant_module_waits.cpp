// The module-aware waits: event waits that add the module's stop event, and the engine-time waits
// forwarded with it. A module asked to stop ends every one of them with VANT::StopException.

#include "runtime/vant_module.h"
#include "runtime/vant_report.h"
#include "sync/vant_engine_time.h"
#include "util/vant_exceptions.h"

#include <cstring>

namespace {

// The module's reports, as the engine-time waits expect them.
class ModuleWaitReporter final : public VANT::WaitReporter {
public:
  explicit ModuleWaitReporter(VANTModule& module) : m_module(module) {}
  void Report(const char* text, int32_t level) const override { m_module.Report(text, level, 0); }
  [[noreturn]] void Error(const char* text) const override {
    m_module.Error(text, 1, 0);
    throw VANT::ErrorException; // an override of Error that returned would end here
  }

private:
  VANTModule& m_module;
};

[[noreturn]] void RefuseWait(const char* text) {
  VANT::ExternalError(text);
  throw VANT::ErrorException;
}

} // namespace

int32_t VANTModule::Wait4Events(int32_t n, VANTEvent** events, int64_t timeout, bool includeStop) {
  if (n >= 255) {
    RefuseWait("Wait4Events can't wait for more than 254 events simultaneously.");
  }
  if (n < 0) {
    n = 0;
  }
  if (timeout != -1) {
    return VANT::Wait4EventsOn(&m_stopEvent, n, events, timeout, includeStop);
  }
  VANTEvent* all[256];
  if (n > 0) {
    std::memcpy(all, events, sizeof(VANTEvent*) * static_cast<size_t>(n));
  }
  const int32_t count = includeStop ? n + 1 : n;
  if (includeStop) {
    all[n] = &m_stopEvent;
  }
  const int32_t result = VANTEvent::Wait(count, all, -1);
  if (IsDying()) {
    throw VANT::StopException;
  }
  return result;
}

int32_t VANTModule::MsgWait4Events(int32_t n, VANTEvent** events, int64_t timeout,
                                   bool includeStop) {
  if (n >= 256) {
    RefuseWait("MsgWait4Events can't wait for more than 255 events simultaneously.");
  }
  if (n < 0) {
    n = 0;
  }
  VANTEvent* all[256];
  if (n > 0) {
    std::memcpy(all, events, sizeof(VANTEvent*) * static_cast<size_t>(n));
  }
  const int32_t count = includeStop ? n + 1 : n;
  if (includeStop) {
    all[n] = &m_stopEvent;
  }
  const int32_t result = VANTEvent::MsgWait(count, all, timeout);
  if (IsDying()) {
    throw VANT::StopException;
  }
  return result;
}

bool VANTModule::Wait4Event(VANTEvent* event, int64_t timeout) {
  if (timeout != -1) {
    return VANT::WaitForEventOn(&m_stopEvent, event, timeout);
  }
  // The stop event first; the given event is waited on once when it is the stop event itself.
  VANTEvent* pair[2] = {&m_stopEvent, event};
  const int32_t count = event == &m_stopEvent || event == nullptr ? 1 : 2;
  const int32_t result = VANTEvent::Wait(count, pair, -1);
  if (result == 0 || IsDying()) {
    throw VANT::StopException;
  }
  return result == 1;
}

bool VANTModule::MsgWait4Event(VANTEvent* event, int64_t timeout) {
  VANTEvent* pair[2] = {event, &m_stopEvent};
  const int32_t count = event == &m_stopEvent || event == nullptr ? 1 : 2;
  VANTEvent** first = event == nullptr ? pair + 1 : pair;
  const int32_t result = VANTEvent::MsgWait(count, first, timeout);
  if (IsDying()) {
    throw VANT::StopException;
  }
  return event != nullptr && result == 0;
}

bool VANTModule::WaitForTimestamp(int64_t timestamp, int32_t n, VANTEvent** cancelEvents,
                                  int* cancelIndex, bool* woken) {
  return VANT::WaitForTimestampOn(&m_stopEvent, timestamp, n, cancelEvents, cancelIndex, woken,
                                  ModuleWaitReporter(*this));
}

bool VANTModule::WaitForTimestamp(int64_t timestamp, VANTEvent* cancelEvent, bool* woken) {
  return VANT::WaitForTimestampOn(&m_stopEvent, timestamp, cancelEvent, woken,
                                  ModuleWaitReporter(*this));
}

bool VANTModule::WaitUntil(int64_t timestamp, VANTEvent* cancelEvent) {
  return VANT::WaitUntilOn(&m_stopEvent, timestamp, cancelEvent, ModuleWaitReporter(*this));
}

bool VANTModule::Rest(int64_t duration, VANTEvent* cancelEvent) {
  return VANT::RestOn(&m_stopEvent, duration, cancelEvent, ModuleWaitReporter(*this));
}
