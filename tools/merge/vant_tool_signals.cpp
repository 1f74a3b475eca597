#include "tools/merge/vant_tool_signals.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace VANT {
namespace {

constexpr int kTerminatingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int kTemporaries = 16;

std::atomic<int> g_signal{0};
// A slot is written while its flag is clear, then the flag is set; the handler reads set ones.
std::atomic<bool> g_temporarySet[kTemporaries] = {};
char g_temporary[kTemporaries][PATH_MAX + 64];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
              std::atomic<const char*>::is_always_lock_free);

std::atomic<bool> g_atOnce{false};
std::atomic<const char*> g_program{""};
std::atomic<bool> g_quiet{false};

const char* ShortName(int number) {
  switch (number) {
  case SIGINT:
    return "INT";
  case SIGTERM:
    return "TERM";
  case SIGHUP:
    return "HUP";
  case SIGQUIT:
    return "QUIT";
  default:
    return "PIPE";
  }
}

void Write(const char* text) {
  const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
  static_cast<void>(written); // nothing to do about a standard error that is gone
}

void OnSignal(int number) {
  int first = 0;
  const bool isFirst = g_signal.compare_exchange_strong(first, number);
  if (number == SIGPIPE || (isFirst && !g_atOnce.load())) {
    return;
  }
  if (isFirst && !g_quiet.load()) {
    Write(g_program.load());
    Write(": interrupted by ");
    Write(ShortName(number));
    Write("\n");
  }
  for (int i = 0; i < kTemporaries; ++i) {
    if (g_temporarySet[i].load()) {
      ::unlink(g_temporary[i]);
    }
  }
  ::_exit(kSignalExitBase + number);
}

} // namespace

void CatchTerminatingSignals(bool restart) {
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  action.sa_flags = restart ? SA_RESTART : 0;
  sigemptyset(&action.sa_mask);
  for (const int number : kTerminatingSignals) {
    sigaction(number, &action, nullptr);
  }
}

void EndAtOnceOnSignal(bool atOnce, const char* program, bool quiet) {
  g_program.store(program);
  g_quiet.store(quiet);
  g_atOnce.store(atOnce);
}

const std::atomic<int>& SignalFlag() {
  return g_signal;
}

bool RemoveOnSecondSignal(const char* path) {
  if (std::strlen(path) >= sizeof(g_temporary[0])) {
    return false;
  }
  for (int i = 0; i < kTemporaries; ++i) {
    if (!g_temporarySet[i].load()) {
      std::strncpy(g_temporary[i], path, sizeof(g_temporary[i]) - 1);
      g_temporarySet[i].store(true);
      return true;
    }
  }
  return false;
}

void ForgetTemporary(const char* path) {
  for (int i = 0; i < kTemporaries; ++i) {
    if (g_temporarySet[i].load() && std::strcmp(g_temporary[i], path) == 0) {
      g_temporarySet[i].store(false);
    }
  }
}

int SignalExitStatus(const char* program, bool quiet) {
  const int number = g_signal.load();
  if (number != SIGPIPE && !quiet) {
    std::fprintf(stderr, "%s: interrupted by %s\n", program, sigabbrev_np(number));
  }
  return kSignalExitBase + number;
}

} // namespace VANT
