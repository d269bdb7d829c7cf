// Removing the failure hook puts back what was there before it, and leaves
// alone a handler that code under test installed on top of it.
#include <gtest/gtest.h>
#include <signal.h>

#include "failure_report.h"

namespace {

void test_handler(int) {}

TEST(FailureHook, RemovingItKeepsHandlersInstalledSinceAndRestoresTheRest) {
  struct sigaction original_bus {
  }, original_segv{};
  sigaction(SIGBUS, nullptr, &original_bus);
  sigaction(SIGSEGV, nullptr, &original_segv);

  harness::install_failure_hook();
  struct sigaction mine {};
  mine.sa_handler = test_handler;
  sigemptyset(&mine.sa_mask);
  sigaction(SIGBUS, &mine, nullptr);
  harness::remove_failure_hook();

  struct sigaction bus {
  }, segv{};
  sigaction(SIGBUS, nullptr, &bus);
  sigaction(SIGSEGV, nullptr, &segv);
  EXPECT_EQ(bus.sa_handler, test_handler);
  EXPECT_EQ(segv.sa_handler, original_segv.sa_handler);
  sigaction(SIGBUS, &original_bus, nullptr);
}

}  // namespace
