// The shipped kscam.sys under the loader, bound to a complete table of fake
// exports (its entry point is not called: that needs the platform's functions
// in the Windows calling convention). Skipped until the Windows build ran.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "loader/pe_file.h"
#include "platform/kernel_exports.h"
#include "platform/pe_image.h"

namespace {

using host::PeLoadStatus;
using loader_test::PeFile;

constexpr uint32_t kSectionDiscardable = 0x02000000;

// One distinct address per allowed import; nothing is ever called through them.
uint8_t fakeFunctions[512];

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<host::PeExport> AllowedImports() {
  std::ifstream list(KSCAM_SOURCE_DIR "/windows/allowed-imports.txt");
  std::vector<host::PeExport> exports;
  std::string line;
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    std::string module, name;
    if (line.empty() || line[0] == '#' || !(fields >> module >> name)) continue;
    exports.push_back({module, name, &fakeFunctions[exports.size()]});
  }
  return exports;
}

class KscamSys : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = PeFile::Read(KSCAM_SYS_IMAGE);
    if (file_.Empty()) GTEST_SKIP() << KSCAM_SYS_IMAGE << " not built (scripts/build-windows-driver.sh)";
    exports_ = AllowedImports();
    ASSERT_GT(exports_.size(), 40u);
    ASSERT_LT(exports_.size(), sizeof fakeFunctions);
  }
  host::PeLoadResult Load(const std::vector<host::PeExport>& exports) {
    return host::LoadPeImage(file_.bytes.data(), file_.bytes.size(), exports);
  }

  PeFile file_;
  std::vector<host::PeExport> exports_;
};

TEST_F(KscamSys, EveryImportIsBoundToTheFunctionOfItsModuleAndName) {
  host::PeLoadResult result = Load(exports_);
  ASSERT_EQ(result.status, PeLoadStatus::kSuccess) << result.error;
  std::map<std::string, void*> given;
  for (const host::PeExport& e : exports_) given[Lower(e.module) + "!" + e.name] = e.address;
  ASSERT_GT(result.image->Imports().size(), 40u);
  for (const host::PeBoundImport& bound : result.image->Imports()) {
    std::string key = Lower(bound.module) + "!" + bound.name;
    ASSERT_EQ(given.count(key), 1u) << key;
    EXPECT_EQ(*bound.slot, given[key]) << key;
    EXPECT_TRUE(result.image->Contains(bound.slot));
  }
}

// Take away any one function and the load fails naming exactly that one.
TEST_F(KscamSys, EachMissingExportIsNamed) {
  host::PeLoadResult complete = Load(exports_);
  ASSERT_EQ(complete.status, PeLoadStatus::kSuccess) << complete.error;
  for (const host::PeBoundImport& bound : complete.image->Imports()) {
    std::vector<host::PeExport> fewer;
    for (const host::PeExport& e : exports_) {
      if (!(Lower(e.module) == Lower(bound.module) && e.name == bound.name)) fewer.push_back(e);
    }
    ASSERT_EQ(fewer.size(), exports_.size() - 1);
    host::PeLoadResult result = Load(fewer);
    EXPECT_EQ(result.status, PeLoadStatus::kUnknownImport);
    EXPECT_EQ(result.error, "the image imports what the platform does not provide: " + bound.module + "!" + bound.name);
  }
}

// Every byte of every kept section is the file's, except 8-byte addresses
// into the image moved by exactly the load offset, and the bound imports.
void ExpectCopiedAndRelocated(const PeFile& file, const host::PeImage& image, size_t* relocated) {
  const uint64_t delta = image.Base() - file.ImageBase();
  const uint32_t imageSize = file.Get<uint32_t>(file.Optional() + 56);
  std::vector<bool> bound(imageSize);
  for (const host::PeBoundImport& import : image.Imports()) {
    for (int i = 0; i < 8; ++i) bound[reinterpret_cast<uintptr_t>(import.slot) - image.Base() + i] = true;
  }
  *relocated = 0;
  for (int s = 0; s < file.SectionCount(); ++s) {
    if (file.Get<uint32_t>(file.Section(s) + 36) & kSectionDiscardable) continue;
    uint32_t va = file.Get<uint32_t>(file.Section(s) + 12), raw = file.Get<uint32_t>(file.Section(s) + 20);
    uint32_t length = std::min(file.Get<uint32_t>(file.Section(s) + 16), file.Get<uint32_t>(file.Section(s) + 8));
    const uint8_t* mapped = reinterpret_cast<const uint8_t*>(image.Base() + va);
    const uint8_t* original = file.bytes.data() + raw;
    for (uint32_t i = 0; i < length; ++i) {
      if (mapped[i] == original[i] || bound[va + i]) continue;
      // The address slot holding byte i starts at most 7 bytes before it.
      bool explained = false;
      for (uint32_t start = i >= 7 ? i - 7 : 0; start <= i && start + 8 <= length && !explained; ++start) {
        uint64_t before, after;
        memcpy(&before, original + start, 8);
        memcpy(&after, mapped + start, 8);
        if (before - file.ImageBase() < imageSize && after == before + delta) {
          explained = true;
          ++*relocated;
          i = start + 7;
        }
      }
      ASSERT_TRUE(explained) << file.SectionName(s) << " differs from the file at offset " << i;
    }
  }
}

TEST_F(KscamSys, SectionsAreCopiedAndRelocatedToWhereverTheyLand) {
  host::PeLoadResult first = Load(exports_), second = Load(exports_);
  ASSERT_EQ(first.status, PeLoadStatus::kSuccess) << first.error;
  ASSERT_EQ(second.status, PeLoadStatus::kSuccess) << second.error;
  ASSERT_NE(first.image->Base(), second.image->Base());
  size_t firstRelocated = 0, secondRelocated = 0;
  ExpectCopiedAndRelocated(file_, *first.image, &firstRelocated);
  ExpectCopiedAndRelocated(file_, *second.image, &secondRelocated);
  EXPECT_GT(firstRelocated, 50u);
  EXPECT_EQ(firstRelocated, secondRelocated);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first.image->EntryPoint()) - first.image->Base(),
            file_.Get<uint32_t>(file_.Optional() + 16));
}

}  // namespace

// The platform's table of exports and the list of imports the package check
// allows are kept by hand in two places: an import allowed but not exported
// would refuse the image at load, an export never allowed is dead weight or a
// forgotten entry in the list. Runs without the image.
TEST(KernelExportTable, MatchesTheAllowedImportsOneForOne) {
  std::map<std::string, const void*> exported;
  for (const host::PeExport& e : host::KernelExports()) {
    EXPECT_NE(e.address, nullptr) << e.module << " " << e.name;
    EXPECT_TRUE(exported.emplace(Lower(e.module) + " " + e.name, e.address).second) << "twice: " << e.name;
  }
  std::map<std::string, bool> allowed;
  for (const host::PeExport& e : AllowedImports()) allowed[Lower(e.module) + " " + e.name] = true;
  ASSERT_GT(allowed.size(), 40u);
  for (const auto& [import, unused] : allowed) EXPECT_EQ(exported.count(import), 1u) << "allowed, not exported: " << import;
  for (const auto& [name, unused] : exported) EXPECT_EQ(allowed.count(name), 1u) << "exported, not allowed: " << name;
}
