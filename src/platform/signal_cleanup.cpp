#include "platform/signal_cleanup.h"
#include "platform/signal_registry.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstring>
#include <unistd.h>

namespace mkx::platform {
namespace {

// The signals that end the process by default and that a user, a program or a
// limit sends (SIGXFSZ is ignored instead: an oversized write fails with EFBIG).
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM};

void OnTerminationSignal(int sig) {
  RemoveRegisteredFiles();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, sig);
  ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  ::raise(sig);  // ends the process as killed by `sig`
}

}  // namespace

void DeleteRegisteredFile(const char* path) { ::unlink(path); }

void InstallTerminationHandlers() {
  for (int sig : kSignals) {
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    if (old.sa_handler == SIG_IGN || old.sa_handler == OnTerminationSignal) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    // One cleanup at a time: the other termination signals wait for this one.
    for (int other : kSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(sig, &action, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

void IgnoreTerminationSignals() {
  for (int sig : kSignals) {
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != OnTerminationSignal) continue;
    std::signal(sig, SIG_IGN);  // discards the signal if it is pending
  }
}

DeferTerminationSignals::DeferTerminationSignals() {
  static_assert(sizeof(sigset_t) <= sizeof(saved_));
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : kSignals) sigaddset(&block, sig);
  ::pthread_sigmask(SIG_BLOCK, &block, &old);
  std::memcpy(saved_, &old, sizeof old);
}

DeferTerminationSignals::~DeferTerminationSignals() {
  sigset_t old;
  std::memcpy(&old, saved_, sizeof old);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace mkx::platform
