// Every test starts with an empty registry kept in memory: cameras save
// their settings when they stop, and the simulated cameras of different
// tests have the same identity, so one test's settings would otherwise be
// the next one's start-up values when the suite runs in one process.
#include <gtest/gtest.h>

#include "platform/registry_host.h"

namespace {

class FreshRegistry : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { host::UseRegistryFile(""); }
};

const bool kInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshRegistry);
  return true;
}();

}  // namespace
