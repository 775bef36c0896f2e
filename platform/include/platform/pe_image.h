// Loads a Windows x64 kernel driver image (PE32+) into this process: mapped,
// relocated, its imports bound to functions the caller supplies.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace host {

// One function (or variable) the loaded image may import: module names match
// without regard to case, as the platform's loader matches them; function
// names match exactly.
struct PeExport {
  std::string module;
  std::string name;
  void* address = nullptr;
};

// Why an image was refused. Every refusal also carries a sentence saying what
// exactly is wrong (PeLoadResult::error).
enum class PeLoadStatus {
  kSuccess,
  kTruncated,              // a header, table or string runs past the file or image
  kNotPe,                  // no MZ or PE signature
  kWrongMachine,           // not x86-64, or not a PE32+ optional header
  kNotExecutable,          // an object file, or relocations stripped
  kBadLayout,              // alignments, sizes, section placement or overlaps
  kTooLarge,               // image size or a count beyond what any driver needs
  kWritableCode,           // a section both writable and executable
  kBadEntryPoint,          // no entry point, or one outside executable code
  kBadRelocation,          // a relocation block or target out of bounds
  kUnsupportedRelocation,  // a relocation kind other than DIR64 or ABSOLUTE
  kBadImport,              // a malformed import directory
  kImportByOrdinal,        // imports by number are not resolved
  kUnknownImport,          // an import the caller's table does not provide
  kThreadLocalStorage,     // a TLS directory (callbacks or data)
  kConstructors,           // initialisers the image would need run
  kNoMemory,               // mapping or protecting the image failed
  kIoError,                // the file could not be read
};

const char* PeLoadStatusName(PeLoadStatus status);

// An import the loader bound: which slot of the image now holds which address.
struct PeBoundImport {
  std::string module;
  std::string name;
  void** slot = nullptr;
};

// A mapped image. Destroying it unmaps it: nothing may still run its code.
class PeImage {
 public:
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;
  ~PeImage();

  void* EntryPoint() const { return entryPoint_; }
  // The mapped image, headers included: [Base(), Base() + Size()).
  uintptr_t Base() const { return base_; }
  size_t Size() const { return size_; }
  bool Contains(const void* address) const { return reinterpret_cast<uintptr_t>(address) - base_ < size_; }
  // The base the image was linked for; the loader relocated it to Base().
  uint64_t PreferredBase() const { return preferredBase_; }
  const std::vector<PeBoundImport>& Imports() const { return imports_; }

  // Makes the discardable sections (initialisation code and data, the
  // relocations) inaccessible, as the kernel frees them once DriverEntry has
  // returned: a driver that still uses them afterwards faults here as well.
  // Returns false if the protection could not be changed.
  bool DiscardSections();

 private:
  friend class PeLoader;
  PeImage() = default;

  uintptr_t base_ = 0;
  size_t size_ = 0;  // the mapping's length (the image size rounded to pages)
  void* entryPoint_ = nullptr;
  uint64_t preferredBase_ = 0;
  std::vector<PeBoundImport> imports_;
  std::vector<std::pair<uintptr_t, size_t>> discardable_;  // page ranges: address, length
};

struct PeLoadResult {
  PeLoadStatus status = PeLoadStatus::kSuccess;
  std::string error;               // empty on success
  std::unique_ptr<PeImage> image;  // set on success only
};

// Parses, maps and binds the image in `file`. The bytes are only read; the
// caller may free them once this returns.
PeLoadResult LoadPeImage(const uint8_t* file, size_t size, const std::vector<PeExport>& exports);
PeLoadResult LoadPeImageFile(const std::string& path, const std::vector<PeExport>& exports);

}  // namespace host
