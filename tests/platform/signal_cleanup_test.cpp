// Cleanup on termination signals, in a forked child: what the handler deletes and
// keeps, and that the child ends as killed by the signal it received.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/signal_cleanup.h"
#include "support/test_support.h"

namespace mkx::platform {
namespace {

using test::FileExists;
using test::TempDir;
using test::WriteText;

/// Runs `body` in a child process; returns its wait status.
int InChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);  // reached only when the child was not killed
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

struct Scenario {
  const char* label;
  // Prepares files in `dir`, arms the cleanup, raises `sig`; ends as the handler says.
  std::function<void(const TempDir& dir, int sig)> run;
  std::vector<std::string> deleted;  // files gone afterwards
  std::vector<std::string> kept;     // files still there
  bool killed = true;
};

std::vector<Scenario> Scenarios() {
  return {
      {"ArmedIsDeletedDisarmedIsKept",
       [](const TempDir& dir, int sig) {
         WriteText(dir.File("copy.tmp"), "x");
         WriteText(dir.File("done.tmp"), "x");
         CleanupOnSignal copy, done;
         (void)copy.Arm(dir.File("copy.tmp"));
         (void)done.Arm(dir.File("done.tmp"));
         done.Disarm();
         ::raise(sig);
       },
       {"copy.tmp"}, {"done.tmp"}},
      {"DeferredSignalArrivesAfterTheScope",
       [](const TempDir& dir, int sig) {
         CleanupOnSignal copy;
         {
           DeferTerminationSignals deferred;
           WriteText(dir.File("copy.tmp"), "x");
           ::raise(sig);
           WriteText(dir.File("still-running"), "x");  // the signal waits
           (void)copy.Arm(dir.File("copy.tmp"));
         }
         WriteText(dir.File("never"), "x");
       },
       {"copy.tmp", "never"}, {"still-running"}},
      {"IgnoredAtStartStaysIgnored",
       [](const TempDir& dir, int sig) {
         std::signal(sig, SIG_IGN);
         InstallTerminationHandlers();
         WriteText(dir.File("copy.tmp"), "x");
         CleanupOnSignal copy;
         (void)copy.Arm(dir.File("copy.tmp"));
         ::raise(sig);
         copy.Disarm();
       },
       {}, {"copy.tmp"}, /*killed=*/false},
  };
}

TEST(SignalCleanupTest, EveryScenarioUnderEverySignal) {
  for (const Scenario& scenario : Scenarios()) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(scenario.label) + " signal " + std::to_string(sig));
      TempDir dir;
      const int status = InChild([&] {
        InstallTerminationHandlers();
        scenario.run(dir, sig);
      });
      if (scenario.killed) {
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), sig);
      } else {
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
      }
      for (const auto& name : scenario.deleted) EXPECT_FALSE(FileExists(dir.File(name))) << name;
      for (const auto& name : scenario.kept) EXPECT_TRUE(FileExists(dir.File(name))) << name;
    }
  }
}

TEST(SignalCleanupTest, RefusesWhatItCannotHold) {
  CleanupOnSignal cleanup;
  EXPECT_FALSE(cleanup.Arm(""));
  EXPECT_FALSE(cleanup.Arm(std::string(5000, 'a')));
  EXPECT_FALSE(cleanup.armed());
  // Slots run out rather than grow: the handler's table is fixed.
  std::vector<std::unique_ptr<CleanupOnSignal>> many;
  bool refused = false;
  for (int i = 0; i < 64 && !refused; ++i) {
    many.push_back(std::make_unique<CleanupOnSignal>());
    refused = !many.back()->Arm("/nonexistent/" + std::to_string(i));
  }
  EXPECT_TRUE(refused);
  many.clear();  // released slots are usable again
  EXPECT_TRUE(cleanup.Arm("/nonexistent/again"));
}

}  // namespace
}  // namespace mkx::platform
