// Malformed and unsupported images, each made from the fixture driver by
// patching the fields a hostile or broken file would get wrong: every one is
// refused with its own status and a sentence naming what is wrong.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

#include "loader/pe_file.h"
#include "loader/stand_ins.h"
#include "platform/pe_image.h"

namespace {

using host::PeLoadStatus;
using loader_test::PeFile;

constexpr uint32_t kSectionExecute = 0x20000000;

class HostileImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (loader_test::FixturePath("plain").empty()) GTEST_SKIP() << "no mingw-w64 cross compiler: no fixture image";
    file_ = PeFile::Read(loader_test::FixturePath("plain"));
    ASSERT_FALSE(file_.Empty());
  }
  host::PeLoadResult Load() { return Load(loader_test::FixtureExports()); }
  host::PeLoadResult Load(const std::vector<host::PeExport>& exports) {
    return host::LoadPeImage(file_.bytes.data(), file_.bytes.size(), exports);
  }
  // Expects a refusal with this status whose text contains `words`.
  void ExpectRefused(PeLoadStatus status, const std::string& words) {
    host::PeLoadResult result = Load();
    EXPECT_EQ(result.status, status) << host::PeLoadStatusName(result.status) << ": " << result.error;
    EXPECT_NE(result.error.find(words), std::string::npos) << result.error;
    EXPECT_EQ(result.image, nullptr);
  }
  size_t RelocationOffset() const { return file_.Offset(file_.Get<uint32_t>(file_.Directory(5))); }
  size_t ImportOffset() const { return file_.Offset(file_.Get<uint32_t>(file_.Directory(1))); }

  PeFile file_;
};

TEST_F(HostileImage, TheUnpatchedFixtureLoads) {
  host::PeLoadResult result = Load();
  EXPECT_EQ(result.status, PeLoadStatus::kSuccess) << result.error;
  EXPECT_TRUE(result.error.empty());
}

TEST_F(HostileImage, EveryTruncationIsRefused) {
  const std::vector<uint8_t> whole = file_.bytes;
  const size_t pe = file_.Pe();
  struct Case {
    size_t length;
    PeLoadStatus status;
    const char* words;
  };
  for (const Case& c :
       {Case{0, PeLoadStatus::kTruncated, "DOS header"}, Case{63, PeLoadStatus::kTruncated, "DOS header"},
        Case{pe + 3, PeLoadStatus::kTruncated, "PE header"}, Case{pe + 23, PeLoadStatus::kTruncated, "PE header"},
        Case{pe + 24 + 111, PeLoadStatus::kTruncated, "optional header"},
        Case{file_.Section(0) + 39, PeLoadStatus::kTruncated, "section table"},
        Case{whole.size() - 1, PeLoadStatus::kTruncated, "past the end of the file"}}) {
    file_.bytes.assign(whole.begin(), whole.begin() + c.length);
    SCOPED_TRACE(c.length);
    ExpectRefused(c.status, c.words);
  }
  // Between the section table and the end, headers size or a section's data runs out.
  for (size_t length = file_.Section(file_.SectionCount()); length < whole.size(); length += 97) {
    file_.bytes.assign(whole.begin(), whole.begin() + length);
    EXPECT_NE(Load().status, PeLoadStatus::kSuccess) << length;
  }
}

TEST_F(HostileImage, SignaturesAndMachine) {
  const std::vector<uint8_t> whole = file_.bytes;
  file_.Set<uint16_t>(0, 0x5a4e);
  ExpectRefused(PeLoadStatus::kNotPe, "MZ");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Pe(), 0x00004551);
  ExpectRefused(PeLoadStatus::kNotPe, "PE signature");
  file_.bytes = whole;
  file_.Set<uint32_t>(0x3c, 0xfffffff0);
  ExpectRefused(PeLoadStatus::kTruncated, "past the end of the file");
  file_.bytes = whole;
  file_.Set<uint16_t>(file_.Coff(), 0x014c);
  ExpectRefused(PeLoadStatus::kWrongMachine, "0x14c is not x86-64");
  file_.bytes = whole;
  file_.Set<uint16_t>(file_.Optional(), 0x10b);
  ExpectRefused(PeLoadStatus::kWrongMachine, "PE32+");
  file_.bytes = whole;
  file_.Set<uint16_t>(file_.Coff() + 18, file_.Get<uint16_t>(file_.Coff() + 18) | 1);
  ExpectRefused(PeLoadStatus::kNotExecutable, "relocations were stripped");
  file_.bytes = whole;
  file_.Set<uint16_t>(file_.Coff() + 18, file_.Get<uint16_t>(file_.Coff() + 18) & ~2);
  ExpectRefused(PeLoadStatus::kNotExecutable, "not marked as an executable");
}

TEST_F(HostileImage, LayoutFieldsAtTheirLimits) {
  const std::vector<uint8_t> whole = file_.bytes;
  const size_t optional = file_.Optional();
  struct Case {
    size_t offset;
    uint32_t value;
    PeLoadStatus status;
    const char* words;
  };
  for (const Case& c : {
           Case{optional + 32, 0x200, PeLoadStatus::kBadLayout, "section alignment"},
           Case{optional + 32, 0x3000, PeLoadStatus::kBadLayout, "section alignment"},
           Case{optional + 36, 0x100, PeLoadStatus::kBadLayout, "file alignment"},
           Case{optional + 36, 0x20000, PeLoadStatus::kBadLayout, "file alignment"},
           Case{optional + 56, 0, PeLoadStatus::kTooLarge, "image size"},
           Case{optional + 56, (64u << 20) + 1, PeLoadStatus::kTooLarge, "image size"},
           Case{optional + 56, 0xffffffff, PeLoadStatus::kTooLarge, "image size"},
           Case{optional + 60, 0x10, PeLoadStatus::kBadLayout, "headers size"},
           Case{optional + 60, 0xffffffff, PeLoadStatus::kBadLayout, "headers size"},
           Case{optional + 108, 0xffffffff, PeLoadStatus::kTruncated, "data directories"},
           // The low half of the 64-bit preferred base, 4K- but not 64K-aligned.
           Case{optional + 24, 0x40001000, PeLoadStatus::kBadLayout, "preferred base"},
           Case{optional + 16, 0, PeLoadStatus::kBadEntryPoint, "entry point"},
           Case{optional + 16, 0x7fffffff, PeLoadStatus::kBadEntryPoint, "entry point"},
       }) {
    file_.bytes = whole;
    file_.Set<uint32_t>(c.offset, c.value);
    SCOPED_TRACE(c.words);
    ExpectRefused(c.status, c.words);
  }
  file_.bytes = whole;
  file_.Set<uint16_t>(file_.Coff() + 2, 0);
  ExpectRefused(PeLoadStatus::kTooLarge, "0 sections");
  file_.Set<uint16_t>(file_.Coff() + 2, 97);
  ExpectRefused(PeLoadStatus::kTooLarge, "97 sections");
  file_.Set<uint16_t>(file_.Coff() + 2, 0xffff);
  ExpectRefused(PeLoadStatus::kTooLarge, "65535 sections");
}

TEST_F(HostileImage, SectionsOutOfBoundsOverlappingOrWritableCode) {
  const std::vector<uint8_t> whole = file_.bytes;
  const int last = file_.SectionCount() - 1;
  file_.Set<uint32_t>(file_.Section(last) + 8, 0x10000000);
  ExpectRefused(PeLoadStatus::kBadLayout, "past the image size");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Section(0) + 20, 0xfffffe00);
  ExpectRefused(PeLoadStatus::kTruncated, "run past the end of the file");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Section(1) + 12, file_.Get<uint32_t>(file_.Section(0) + 12));
  ExpectRefused(PeLoadStatus::kBadLayout, "overlaps the headers or the section before it");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Section(0) + 12, 0);
  ExpectRefused(PeLoadStatus::kBadLayout, "overlaps the headers");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Section(0) + 12, file_.Get<uint32_t>(file_.Section(0) + 12) + 0x800);
  ExpectRefused(PeLoadStatus::kBadLayout, "not section-aligned");
  file_.bytes = whole;
  // The first section's memory reaching into the second's page.
  file_.Set<uint32_t>(file_.Section(0) + 8,
                      file_.Get<uint32_t>(file_.Section(1) + 12) - file_.Get<uint32_t>(file_.Section(0) + 12) + 1);
  ExpectRefused(PeLoadStatus::kBadLayout, "overlaps");
  file_.bytes = whole;
  int data = file_.SectionNamed(".data");
  ASSERT_GE(data, 0);
  file_.Set<uint32_t>(file_.Section(data) + 36, file_.Get<uint32_t>(file_.Section(data) + 36) | kSectionExecute);
  ExpectRefused(PeLoadStatus::kWritableCode, ".data) is both writable and executable");
}

TEST_F(HostileImage, RelocationsOutOfBoundsOrOfAnotherKind) {
  const std::vector<uint8_t> whole = file_.bytes;
  const size_t directory = file_.Directory(5);
  const size_t block = RelocationOffset();
  ASSERT_NE(block, 0u);
  file_.Set<uint32_t>(directory + 4, 0x10000000);
  ExpectRefused(PeLoadStatus::kBadRelocation, "lies outside the image");
  file_.bytes = whole;
  file_.Set<uint32_t>(directory + 4, 0);
  ExpectRefused(PeLoadStatus::kBadRelocation, "no base relocations");
  file_.bytes = whole;
  file_.Set<uint32_t>(directory + 4, 6);
  ExpectRefused(PeLoadStatus::kBadRelocation, "cut short");
  file_.bytes = whole;
  file_.Set<uint32_t>(block + 4, 4);
  ExpectRefused(PeLoadStatus::kBadRelocation, "has size 0x4");
  file_.bytes = whole;
  file_.Set<uint32_t>(block + 4, 0x100000);
  ExpectRefused(PeLoadStatus::kBadRelocation, "outside the relocation directory");
  file_.bytes = whole;
  file_.Set<uint32_t>(block + 4, 9);
  ExpectRefused(PeLoadStatus::kBadRelocation, "has size 0x9");
  file_.bytes = whole;
  file_.Set<uint16_t>(block + 8, (3 << 12) | 0x10);
  ExpectRefused(PeLoadStatus::kUnsupportedRelocation, "relocation type 3");
  file_.bytes = whole;
  file_.Set<uint32_t>(block, 0);  // the first block's page moved into the headers
  ExpectRefused(PeLoadStatus::kBadRelocation, "outside every section");
  file_.bytes = whole;
  file_.Set<uint32_t>(block, 0xfffff000);
  ExpectRefused(PeLoadStatus::kBadRelocation, "outside every section");
  file_.bytes = whole;
  // The last byte of a section: an 8-byte slot there would straddle its end.
  uint32_t textEnd = file_.Get<uint32_t>(file_.Section(0) + 12) + file_.Get<uint32_t>(file_.Section(0) + 8);
  file_.Set<uint32_t>(block, (textEnd - 4) & ~0xfffu);
  file_.Set<uint16_t>(block + 8, (10 << 12) | ((textEnd - 4) & 0xfff));
  ExpectRefused(PeLoadStatus::kBadRelocation, "outside every section");
  file_.bytes = whole;
  uint16_t first = file_.Get<uint16_t>(block + 8);
  file_.Set<uint16_t>(block + 10, uint16_t(first + 4));
  ExpectRefused(PeLoadStatus::kBadRelocation, "overlap");
}

TEST_F(HostileImage, ImportsUnknownByOrdinalOrMalformed) {
  const std::vector<uint8_t> whole = file_.bytes;
  // A name the platform does not export, and a name missing from the table.
  size_t name = file_.Find("KeWaitForSingleObject");
  ASSERT_NE(name, 0u);
  file_.bytes[name + 20] = 'X';
  ExpectRefused(PeLoadStatus::kUnknownImport, "ntoskrnl.exe!KeWaitForSingleObjecX");
  file_.bytes = whole;
  std::vector<host::PeExport> exports = loader_test::FixtureExports();
  exports.erase(exports.begin() + 1);
  exports.pop_back();
  host::PeLoadResult result = Load(exports);
  EXPECT_EQ(result.status, PeLoadStatus::kUnknownImport);
  EXPECT_NE(result.error.find("HAL.dll!KeQueryPerformanceCounter"), std::string::npos) << result.error;
  EXPECT_NE(result.error.find("ntoskrnl.exe!ExFreePoolWithTag"), std::string::npos) << result.error;
  // Names match exactly: another case is another function.
  exports = loader_test::FixtureExports();
  exports[0].name = "exAllocatePoolWithTag";
  EXPECT_EQ(Load(exports).status, PeLoadStatus::kUnknownImport);

  const size_t descriptor = ImportOffset();
  ASSERT_NE(descriptor, 0u);
  size_t lookup = file_.Offset(file_.Get<uint32_t>(descriptor));
  file_.Set<uint64_t>(lookup, (1ull << 63) | 17);
  ExpectRefused(PeLoadStatus::kImportByOrdinal, "ordinal 17 from HAL.dll");
  file_.Set<uint64_t>(lookup, 0x7ffffff0);
  ExpectRefused(PeLoadStatus::kBadImport, "names no string");
  file_.Set<uint64_t>(lookup, 0x80000000);
  ExpectRefused(PeLoadStatus::kBadImport, "names no string");
  file_.bytes = whole;
  file_.Set<uint32_t>(descriptor + 12, 0x7fffffff);
  ExpectRefused(PeLoadStatus::kBadImport, "module's name");
  file_.bytes = whole;
  file_.Set<uint32_t>(descriptor + 16, 0x7ffffff0);
  file_.Set<uint32_t>(descriptor, 0);
  ExpectRefused(PeLoadStatus::kBadImport, "run past the end of the image");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Directory(1) + 4, 20);
  ExpectRefused(PeLoadStatus::kBadImport, "no terminating entry");
  file_.bytes = whole;
  file_.Set<uint32_t>(file_.Directory(1), 0xffffff00);
  ExpectRefused(PeLoadStatus::kBadImport, "lies outside the image");
}

// The counts the loader caps: imported modules (64) and imports (16384),
// each accepted at its limit and refused one above it.
TEST_F(HostileImage, ImportCountsAtTheirLimits) {
  const std::vector<uint8_t> whole = file_.bytes;
  const uint32_t descriptorRva = file_.Get<uint32_t>(file_.Directory(1));
  for (uint32_t modules : {64u, 65u}) {
    file_.bytes = whole;
    uint8_t descriptor[20];
    memcpy(descriptor, file_.At(descriptorRva), 20);
    uint32_t table = file_.AppendSection((modules + 1) * 20);
    for (uint32_t i = 0; i < modules; ++i) memcpy(file_.At(table) + 20 * i, descriptor, 20);
    file_.Set<uint32_t>(file_.Directory(1), table);
    file_.Set<uint32_t>(file_.Directory(1) + 4, (modules + 1) * 20);
    host::PeLoadResult result = Load();
    if (modules == 64) {
      EXPECT_EQ(result.status, PeLoadStatus::kSuccess) << result.error;
    } else {
      EXPECT_EQ(result.status, PeLoadStatus::kTooLarge);
      EXPECT_EQ(result.error, "more than 64 imported modules");
    }
  }
  // The first module's one import repeated: the fixture imports 5 more.
  ASSERT_NE(ImportOffset(), 0u);
  const uint64_t name = file_.Get<uint64_t>(file_.Offset(file_.Get<uint32_t>(ImportOffset())));
  for (uint32_t count : {16384u - 5, 16384u - 4}) {
    file_.bytes = whole;
    uint32_t lookup = file_.AppendSection(2 * 8 * (count + 1));
    for (uint32_t i = 0; i < count; ++i) file_.Set<uint64_t>(file_.Offset(lookup) + 8 * i, name);
    file_.Set<uint32_t>(ImportOffset(), lookup);
    file_.Set<uint32_t>(ImportOffset() + 16, lookup + 8 * (count + 1));
    host::PeLoadResult result = Load();
    if (count == 16384 - 5) {
      ASSERT_EQ(result.status, PeLoadStatus::kSuccess) << result.error;
      EXPECT_EQ(result.image->Imports().size(), 16384u);
    } else {
      EXPECT_EQ(result.status, PeLoadStatus::kTooLarge);
      EXPECT_EQ(result.error, "more than 16384 imports");
    }
  }
  // A flood of names nobody provides is capped the same way, not listed in full.
  file_.bytes = whole;
  const uint32_t count = 100000;
  uint32_t lookup = file_.AppendSection(2 * 8 * (count + 1) + 16);
  uint32_t unknownName = lookup + 2 * 8 * (count + 1);
  memcpy(file_.At(unknownName) + 2, "Nope", 5);
  for (uint32_t i = 0; i < count; ++i) file_.Set<uint64_t>(file_.Offset(lookup) + 8 * i, unknownName);
  file_.Set<uint32_t>(ImportOffset(), lookup);
  file_.Set<uint32_t>(ImportOffset() + 16, lookup + 8 * (count + 1));
  host::PeLoadResult result = Load();
  EXPECT_EQ(result.status, PeLoadStatus::kTooLarge);
  EXPECT_EQ(result.error, "more than 16384 imports");
}

// A module name that runs up to the very end of the image with no zero: the
// bytes after it (zero, in the rest of the last page) are not part of it.
TEST_F(HostileImage, AStringMayNotEndPastTheImage) {
  uint32_t section = file_.AppendSection(0x100);
  uint32_t end = section + 0x100;
  file_.Set<uint32_t>(file_.Optional() + 56, end);
  memset(file_.At(end - 4), 'A', 4);
  file_.Set<uint32_t>(ImportOffset() + 12, end - 4);
  ExpectRefused(PeLoadStatus::kBadImport, "module's name");
  file_.At(end - 4)[3] = 0;  // now it ends inside the image
  ExpectRefused(PeLoadStatus::kUnknownImport, ": AAA!KeQueryPerformanceCounter");
}

TEST_F(HostileImage, ThreadLocalStorage) {
  // A TLS directory written into the headers' slack after the section table.
  const uint32_t tls = uint32_t((file_.Section(file_.SectionCount()) + 15) & ~size_t{15});
  ASSERT_LE(tls + 64, file_.HeadersSize());
  file_.Set<uint32_t>(file_.Directory(9), tls);
  file_.Set<uint32_t>(file_.Directory(9) + 4, 40);
  file_.Set<uint64_t>(tls + 24, file_.ImageBase() + tls + 40);
  file_.Set<uint64_t>(tls + 40, file_.ImageBase() + 0x1000);
  ExpectRefused(PeLoadStatus::kThreadLocalStorage, "TLS callbacks");
  file_.Set<uint64_t>(tls + 24, 0);
  ExpectRefused(PeLoadStatus::kThreadLocalStorage, "thread-local storage");
  file_.Set<uint32_t>(file_.Directory(9) + 4, 16);
  ExpectRefused(PeLoadStatus::kTruncated, "TLS directory is cut short");
  file_.Set<uint32_t>(file_.Directory(9), 0xfffffff0);
  ExpectRefused(PeLoadStatus::kTruncated, "TLS directory");
}

TEST_F(HostileImage, ConstructorsThatNothingWouldRun) {
  PeFile withConstructor = PeFile::Read(loader_test::FixturePath("constructor"));
  host::PeLoadResult result =
      host::LoadPeImage(withConstructor.bytes.data(), withConstructor.bytes.size(), loader_test::FixtureExports());
  EXPECT_EQ(result.status, PeLoadStatus::kConstructors) << result.error;
  EXPECT_NE(result.error.find("constructor or destructor list in .text"), std::string::npos) << result.error;

  int data = file_.SectionNamed(".data");
  ASSERT_GE(data, 0);
  memcpy(file_.bytes.data() + file_.Section(data), ".ctors\0\0", 8);
  ExpectRefused(PeLoadStatus::kConstructors, "section .ctors");
  memcpy(file_.bytes.data() + file_.Section(data), ".CRT$XCU", 8);
  ExpectRefused(PeLoadStatus::kConstructors, "section .CRT$XCU");
}

TEST_F(HostileImage, FilesThatCannotBeRead) {
  host::PeLoadResult result = host::LoadPeImageFile("/nonexistent/kscam.sys", loader_test::FixtureExports());
  EXPECT_EQ(result.status, PeLoadStatus::kIoError);
  EXPECT_NE(result.error.find("/nonexistent/kscam.sys"), std::string::npos);
  result = host::LoadPeImageFile("/", loader_test::FixtureExports());
  EXPECT_EQ(result.status, PeLoadStatus::kIoError);
  EXPECT_NE(result.error.find("not a readable file"), std::string::npos) << result.error;
}

// With the address space nearly exhausted the mapping fails: a refusal, not a
// crash. (In a child process, whose address-space limit can be lowered.)
TEST_F(HostileImage, MappingFailureIsRefused) {
  file_.Set<uint32_t>(file_.Optional() + 56, 60u << 20);
  auto loadWithLittleAddressSpace = [this] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t limit = rlim_t(pages) * sysconf(_SC_PAGESIZE) + (16u << 20);
    struct rlimit r = {limit, limit};
    setrlimit(RLIMIT_AS, &r);
    host::PeLoadResult result = Load();
    fprintf(stderr, "%s: %s\n", host::PeLoadStatusName(result.status), result.error.c_str());
    _exit(result.status == PeLoadStatus::kNoMemory ? 0 : 1);
  };
  EXPECT_EXIT(loadWithLittleAddressSpace(), ::testing::ExitedWithCode(0), "could not map 0x3c00000 bytes");
}

}  // namespace
