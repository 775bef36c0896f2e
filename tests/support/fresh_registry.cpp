// Every test starts with an empty registry kept in memory only, as on a
// machine where the camera was never installed: settings one test saves must
// not reach the next test's device start.
#include <gtest/gtest.h>

#include "platform/registry_host.h"

namespace {

class FreshRegistry : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    host::SetRegistryFaults(host::RegistryFaults());
    host::UseRegistryFile("");
  }
};

const bool kInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshRegistry);
  return true;
}();

}  // namespace
