// Deterministic mutation of a real image: thousands of damaged copies of the
// fixture driver, each loaded (and unloaded) or refused with a reason, never
// a crash. The coverage-guided version of this is tests/fuzz/pe_image_fuzz.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>

#include "loader/pe_file.h"
#include "loader/stand_ins.h"
#include "platform/pe_image.h"

namespace {

using loader_test::PeFile;

constexpr int kCases = 6000;
// On a slow machine (or under a sanitizer) the run stops early, after at
// least kMinimumCases; the sequence of cases is the same either way.
constexpr int kMinimumCases = 2000;
constexpr auto kTimeBox = std::chrono::seconds(60);

// Values that sit on the edges of the loader's checks.
constexpr uint32_t kEdges[] = {0,      1,       7,          8,          0x1ff,      0x200,     0xfff,
                               0x1000, 0x10000, 0x7fffffff, 0x80000000, 0xfffffff8, 0xffffffff};

class Mutator {
 public:
  Mutator(const PeFile& original, uint32_t seed) : original_(original), random_(seed) {}

  std::vector<uint8_t> Next() {
    PeFile copy = original_;
    int count = 1 + Below(4);
    for (int i = 0; i < count && !copy.bytes.empty(); ++i) Mutate(&copy);
    return copy.bytes;
  }

 private:
  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }

  // A byte offset in the headers, in one of the tables, or anywhere.
  size_t Where(const PeFile& file) {
    size_t headers = std::min<size_t>(file.bytes.size(), original_.HeadersSize());
    switch (Below(3)) {
      case 0: return Below(uint32_t(headers));
      case 1: {
        size_t table = original_.Offset(original_.Get<uint32_t>(original_.Directory(Below(2) ? 1 : 5)));
        if (table != 0 && table < file.bytes.size()) return std::min(file.bytes.size() - 1, table + Below(64));
        return Below(uint32_t(file.bytes.size()));
      }
      default: return Below(uint32_t(file.bytes.size()));
    }
  }

  void Mutate(PeFile* file) {
    size_t at = Where(*file);
    switch (Below(5)) {
      case 0: file->bytes[at] = uint8_t(Below(256)); break;
      case 1: file->bytes[at] ^= uint8_t(1u << Below(8)); break;
      case 2:
        if (at + 4 <= file->bytes.size()) file->Set<uint32_t>(at & ~size_t{1}, kEdges[Below(std::size(kEdges))]);
        break;
      case 3:
        if (at + 2 <= file->bytes.size()) file->Set<uint16_t>(at, uint16_t(kEdges[Below(std::size(kEdges))]));
        break;
      default: file->bytes.resize(Below(uint32_t(file->bytes.size()) + 1)); break;
    }
  }

  const PeFile& original_;
  std::mt19937 random_;
};

TEST(ImageMutation, EveryDamagedCopyLoadsOrIsRefusedWithAReason) {
  if (loader_test::FixturePath("plain").empty()) GTEST_SKIP() << "no mingw-w64 cross compiler: no fixture image";
  PeFile original = PeFile::Read(loader_test::FixturePath("plain"));
  ASSERT_FALSE(original.Empty());
  Mutator mutator(original, 20261207);
  std::set<host::PeLoadStatus> seen;
  int loaded = 0, cases = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCases && (i < kMinimumCases || std::chrono::steady_clock::now() - start < kTimeBox); ++i) {
    ++cases;
    std::vector<uint8_t> bytes = mutator.Next();
    host::PeLoadResult result = host::LoadPeImage(bytes.data(), bytes.size(), loader_test::FixtureExports());
    seen.insert(result.status);
    if (result.status != host::PeLoadStatus::kSuccess) {
      ASSERT_EQ(result.image, nullptr) << "case " << i;
      ASSERT_FALSE(result.error.empty()) << "case " << i;
      continue;
    }
    ++loaded;
    ASSERT_NE(result.image, nullptr) << "case " << i;
    ASSERT_TRUE(result.image->Contains(result.image->EntryPoint())) << "case " << i;
    for (const host::PeBoundImport& bound : result.image->Imports()) ASSERT_TRUE(result.image->Contains(bound.slot));
  }
  EXPECT_GE(cases, kMinimumCases);
  // The mutations reach deep into the loader, not only its first check.
  EXPECT_GE(seen.size(), 12u);
  EXPECT_GT(loaded, 0);
}

}  // namespace
