// The fixture driver, loaded and run: its calls into the platform arrive with
// the Windows x64 convention's arguments and results, its pages carry the
// protections its sections ask for, and its stack cookie catches an overrun.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "fixtures/loader_fixture.h"
#include "loader/pe_file.h"
#include "loader/stand_ins.h"
#include "platform/pe_image.h"

namespace {

using host::PeLoadStatus;
using loader_test::FixturePath;
using loader_test::Kernel;

using DriverEntryFunction = __attribute__((ms_abi)) int32_t (*)(LoaderFixtureExchange*, void*);

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusTimeout = 0x102;
constexpr int32_t kStatusUnsuccessful = static_cast<int32_t>(0xC0000001);
constexpr int32_t kStatusInsufficientResources = static_cast<int32_t>(0xC000009A);
constexpr uint32_t kNonPagedPoolNx = 512;
constexpr uint32_t kTag = 0x7846734b;  // 'KsFx' as the compiler spells a four-character constant

class FixtureDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FixturePath("plain").empty()) GTEST_SKIP() << "no mingw-w64 cross compiler: no fixture image";
    Kernel() = {};
    host::PeLoadResult result = host::LoadPeImageFile(FixturePath("plain"), loader_test::FixtureExports());
    ASSERT_EQ(result.status, PeLoadStatus::kSuccess) << result.error;
    image_ = std::move(result.image);
  }
  int32_t CallEntry() {
    exchange_.allocationSize = 48;
    exchange_.allocationTag = kTag;
    return reinterpret_cast<DriverEntryFunction>(image_->EntryPoint())(&exchange_, nullptr);
  }

  std::unique_ptr<host::PeImage> image_;
  LoaderFixtureExchange exchange_ = {};
};

TEST_F(FixtureDriver, CallsArriveWithTheirArgumentsAndResultsReturn) {
  ASSERT_EQ(CallEntry(), kStatusSuccess);
  EXPECT_EQ(Kernel().allocations, 1);
  EXPECT_EQ(Kernel().poolType, kNonPagedPoolNx);
  EXPECT_EQ(Kernel().allocationSize, 48u);
  EXPECT_EQ(Kernel().allocationTag, kTag);
  EXPECT_EQ(exchange_.allocation, Kernel().block);
  // Five arguments: the fifth is passed on the stack above the home area.
  EXPECT_EQ(Kernel().waitObject, Kernel().block);
  EXPECT_EQ(Kernel().waitReason, 0u);  // Executive
  EXPECT_EQ(Kernel().waitMode, 0);     // KernelMode
  EXPECT_EQ(Kernel().alertable, 1);
  EXPECT_EQ(Kernel().timeout, -10000);
  EXPECT_EQ(Kernel().freedBlock, Kernel().block);
  EXPECT_EQ(Kernel().freedTag, kTag);
  EXPECT_EQ(exchange_.waitStatus, kStatusSuccess);
}

TEST_F(FixtureDriver, ResultsOfThePlatformSteerTheDriver) {
  Kernel().waitResult = kStatusTimeout;
  EXPECT_EQ(CallEntry(), kStatusUnsuccessful);
  EXPECT_EQ(exchange_.waitStatus, kStatusTimeout);

  Kernel() = {};
  Kernel().failAllocation = true;
  EXPECT_EQ(CallEntry(), kStatusInsufficientResources);
  EXPECT_EQ(Kernel().waits, 0);
  EXPECT_EQ(Kernel().freedBlock, nullptr);
}

// The pages of the mapped image as /proc/self/maps lists them: "r-xp" and so
// on, one entry per run of pages with the same protection.
struct Mapping {
  uintptr_t begin, end;
  std::string permissions;
};
std::vector<Mapping> Mappings(const host::PeImage& image) {
  std::ifstream maps("/proc/self/maps");
  std::vector<Mapping> found;
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long begin = 0, end = 0;
    char permissions[5] = {};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, permissions) != 3) continue;
    if (begin >= image.Base() && end <= image.Base() + image.Size()) found.push_back({begin, end, permissions});
  }
  return found;
}
std::vector<std::string> Protections(const host::PeImage& image) {
  std::vector<std::string> found;
  for (const Mapping& m : Mappings(image)) found.push_back(m.permissions);
  return found;
}

TEST_F(FixtureDriver, NoPageIsWritableAndExecutableAndTheHeadersAreReadOnly) {
  std::vector<std::string> protections = Protections(*image_);
  ASSERT_FALSE(protections.empty());
  EXPECT_EQ(protections.front(), "r--p");
  int executable = 0;
  for (const std::string& p : protections) {
    EXPECT_FALSE(p[1] == 'w' && p[2] == 'x') << p;
    executable += p[2] == 'x';
  }
  EXPECT_EQ(executable, 1);
  EXPECT_TRUE(image_->Contains(image_->EntryPoint()));
  EXPECT_FALSE(image_->Contains(reinterpret_cast<void*>(image_->Base() + image_->Size())));
  EXPECT_FALSE(image_->Contains(reinterpret_cast<void*>(image_->Base() - 1)));
}

// The relocations are needed only while loading: their section is
// discardable, readable until the driver's entry has returned, then gone.
TEST_F(FixtureDriver, DiscardableSectionsGoOnceTheEntryHasReturned) {
  loader_test::PeFile file = loader_test::PeFile::Read(FixturePath("plain"));
  uintptr_t relocations = image_->Base() + file.Get<uint32_t>(file.Directory(5));
  auto protection = [&] {
    for (const Mapping& m : Mappings(*image_)) {
      if (relocations >= m.begin && relocations < m.end) return m.permissions;
    }
    return std::string("unmapped");
  };
  EXPECT_EQ(protection(), "r--p");
  ASSERT_EQ(CallEntry(), kStatusSuccess);
  ASSERT_TRUE(image_->DiscardSections());
  EXPECT_EQ(protection(), "---p");
  EXPECT_EQ(Protections(*image_).front(), "r--p");
  EXPECT_EQ(exchange_.fill(reinterpret_cast<const uint8_t*>("0123456789abcdef"), 16), 1122u);
}

TEST_F(FixtureDriver, WritingItsCodeFaults) {
  auto* code = static_cast<volatile uint8_t*>(image_->EntryPoint());
  EXPECT_DEATH(*code = 0xcc, "");
}

TEST_F(FixtureDriver, UnloadingUnmapsTheImage) {
  void* base = reinterpret_cast<void*>(image_->Base());
  image_.reset();
  errno = 0;
  EXPECT_EQ(msync(base, 4096, MS_ASYNC), -1);
  EXPECT_EQ(errno, ENOMEM);
}

TEST_F(FixtureDriver, EachImportSlotHoldsTheFunctionGivenForItsName) {
  std::vector<host::PeExport> exports = loader_test::FixtureExports();
  ASSERT_EQ(image_->Imports().size(), 6u);
  for (const host::PeBoundImport& bound : image_->Imports()) {
    auto given =
        std::find_if(exports.begin(), exports.end(), [&](const host::PeExport& e) { return e.name == bound.name; });
    ASSERT_NE(given, exports.end()) << bound.name;
    EXPECT_EQ(*bound.slot, given->address) << bound.module << "!" << bound.name;
  }
}

// The cookie is the fixture's own, seeded from the counters at DriverEntry.
TEST_F(FixtureDriver, TheStackCookieIsSeededFromTheCounters) {
  constexpr uintptr_t kUnseeded = 0x7c2a5e1d9b3f4086ull;
  ASSERT_EQ(CallEntry(), kStatusSuccess);
  EXPECT_EQ(Kernel().counterReads, 1);
  EXPECT_EQ(Kernel().interruptTimeReads, 1);
  uintptr_t first = *exchange_.stackCookie;
  EXPECT_NE(first, kUnseeded);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(first & 0xff, 0u);
  // The same load, the same stack, a different counter: a different cookie.
  Kernel().counter += 0x123456789;
  ASSERT_EQ(CallEntry(), kStatusSuccess);
  EXPECT_NE(*exchange_.stackCookie, first);
}

TEST_F(FixtureDriver, AnIntactFrameReturnsNormally) {
  ASSERT_EQ(CallEntry(), kStatusSuccess);
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = uint8_t(i + 1);
  EXPECT_EQ(exchange_.fill(bytes, 16), 136u);
  EXPECT_EQ(Kernel().bugChecks, 0);
}

// Overrunning the 16-byte array rewrites the cookie above it: the frame's
// check stops the system with the kernel's code for a stack buffer overrun
// (0xF7), the cookie as first parameter and the caller's address as second.
TEST_F(FixtureDriver, AnOverrunFrameStopsTheSystem) {
  ASSERT_EQ(CallEntry(), kStatusSuccess);
  Kernel().imageBase = image_->Base();
  Kernel().imageSize = image_->Size();
  uint8_t bytes[32];
  memset(bytes, 0xa5, sizeof bytes);
  std::ostringstream expected;
  expected << "bug check 0xf7 \\(0x" << std::hex << *exchange_.stackCookie
           << ", 0x[0-9a-f]+, 0x0, 0x0\\) from the image";
  EXPECT_EXIT(exchange_.fill(bytes, sizeof bytes), ::testing::ExitedWithCode(loader_test::kBugCheckExitCode),
              expected.str());
}

}  // namespace
