// The PE32+ loader: every field of the file is bounds-checked before use, the
// image is mapped at whatever address mmap gives, and each section gets the
// protection its header asks for (never writable and executable at once).
#include "platform/pe_image.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

namespace host {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20b;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationDir64 = 10;
constexpr uint64_t kImportByOrdinalFlag = 1ull << 63;

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptionalFixedSize = 112;  // PE32+ optional header before its data directories
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kTlsDirectorySize = 40;

enum Directory { kDirectoryImport = 1, kDirectoryBaseRelocation = 5, kDirectoryTls = 9, kDirectoryCount = 16 };

// Limits well above any driver (kscam.sys is a few hundred KiB with under a
// hundred imports) and low enough that a hostile count cannot make the loader
// allocate or loop without end.
constexpr uint64_t kMaxImageSize = 64ull << 20;
constexpr uint16_t kMaxSections = 96;
constexpr size_t kMaxImportedModules = 64;
constexpr size_t kMaxImports = 16384;
constexpr size_t kMaxNameLength = 512;

// Names of sections whose contents are lists of initialisers or finalisers
// that a C run-time start-up would walk; the kernel has no such start-up.
constexpr const char* kInitialiserSections[] = {".ctors", ".dtors", ".init_array", ".fini_array", ".CRT"};

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// Little-endian reads from a byte range, every one checked against its end.
class Bytes {
 public:
  Bytes(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
  bool Has(uint64_t offset, uint64_t length) const { return offset <= size_ && length <= size_ - offset; }
  template <typename T>
  bool Read(uint64_t offset, T* value) const {
    if (!Has(offset, sizeof(T))) return false;
    memcpy(value, data_ + offset, sizeof(T));
    return true;
  }
  // A NUL-terminated string of at most `limit` characters starting at offset.
  bool String(uint64_t offset, size_t limit, std::string* text) const {
    if (!Has(offset, 0)) return false;
    uint64_t available = std::min<uint64_t>(size_ - offset, limit + 1);
    const void* end = memchr(data_ + offset, 0, available);
    if (end == nullptr) return false;
    text->assign(reinterpret_cast<const char*>(data_ + offset), static_cast<const uint8_t*>(end) - (data_ + offset));
    return true;
  }
  const uint8_t* At(uint64_t offset) const { return data_ + offset; }
  uint64_t Size() const { return size_; }

 private:
  const uint8_t* data_;
  uint64_t size_;
};

struct Section {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;  // the extent in memory (the raw size when the header gives none)
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
  bool Holds(uint64_t rva, uint64_t length) const {
    return rva >= virtualAddress && length <= virtualSize && rva - virtualAddress <= virtualSize - length;
  }
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Headers {
  uint16_t sectionCount = 0;
  uint64_t sectionTableOffset = 0;
  uint32_t entryPoint = 0;
  uint64_t imageBase = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t imageSize = 0;
  uint32_t headersSize = 0;
  DataDirectory directories[kDirectoryCount];
};

bool PowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }
uint64_t RoundUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

}  // namespace

const char* PeLoadStatusName(PeLoadStatus status) {
  switch (status) {
    case PeLoadStatus::kSuccess: return "success";
    case PeLoadStatus::kTruncated: return "truncated";
    case PeLoadStatus::kNotPe: return "not a PE image";
    case PeLoadStatus::kWrongMachine: return "wrong machine";
    case PeLoadStatus::kNotExecutable: return "not an executable image";
    case PeLoadStatus::kBadLayout: return "bad layout";
    case PeLoadStatus::kTooLarge: return "too large";
    case PeLoadStatus::kWritableCode: return "writable code";
    case PeLoadStatus::kBadEntryPoint: return "bad entry point";
    case PeLoadStatus::kBadRelocation: return "bad relocation";
    case PeLoadStatus::kUnsupportedRelocation: return "unsupported relocation";
    case PeLoadStatus::kBadImport: return "bad import";
    case PeLoadStatus::kImportByOrdinal: return "import by ordinal";
    case PeLoadStatus::kUnknownImport: return "unknown import";
    case PeLoadStatus::kThreadLocalStorage: return "thread-local storage";
    case PeLoadStatus::kConstructors: return "constructors";
    case PeLoadStatus::kNoMemory: return "no memory";
    case PeLoadStatus::kIoError: return "I/O error";
  }
  return "unknown status";
}

PeImage::~PeImage() {
  if (base_ != 0) munmap(reinterpret_cast<void*>(base_), size_);
}

// One load, step by step; each step returns false after recording why.
class PeLoader {
 public:
  PeLoader(const uint8_t* file, size_t size, const std::vector<PeExport>& exports)
      : file_(file, size), exports_(exports) {}

  PeLoadResult Run() {
    if (ParseHeaders() && ParseSections() && CheckEntryPoint() && Map() && ParseRelocations() && CheckTls() &&
        CheckInitialiserSections() && CheckConstructorLists() && ApplyRelocations() && BindImports() && Protect()) {
      result_.image = std::move(image_);
    }
    return std::move(result_);
  }

 private:
  bool Refuse(PeLoadStatus status, const std::string& error) {
    result_.status = status;
    result_.error = error;
    return false;
  }

  bool ParseHeaders();
  bool ParseOptionalHeader(uint64_t offset, uint16_t optionalSize);
  bool ParseSections();
  bool CheckEntryPoint();
  bool Map();
  bool ParseRelocations();
  bool CheckTls();
  bool CheckInitialiserSections();
  bool CheckConstructorLists();
  bool ApplyRelocations();
  bool BindImports();
  bool BindModule(uint64_t descriptor, std::vector<std::string>* unknown);
  bool Protect();

  // The directory's range, checked to lie inside the image.
  bool DirectoryRange(Directory which, const char* what, DataDirectory* range);
  const Section* SectionHolding(uint64_t rva, uint64_t length) const;
  Bytes Mapped() const { return Bytes(reinterpret_cast<const uint8_t*>(image_->base_), headers_.imageSize); }
  uint8_t* MappedAt(uint64_t rva) const { return reinterpret_cast<uint8_t*>(image_->base_ + rva); }

  Bytes file_;
  const std::vector<PeExport>& exports_;
  Headers headers_;
  std::vector<Section> sections_;
  std::vector<uint32_t> relocatedSlots_;  // RVAs of the 8-byte slots the DIR64 relocations adjust
  std::unique_ptr<PeImage> image_;
  PeLoadResult result_;
};

bool PeLoader::ParseHeaders() {
  uint16_t magic = 0;
  uint32_t peOffset = 0;
  if (!file_.Has(0, kDosHeaderSize)) return Refuse(PeLoadStatus::kTruncated, "the file is shorter than a DOS header");
  file_.Read(0, &magic);
  if (magic != 0x5a4d) return Refuse(PeLoadStatus::kNotPe, "no MZ signature at the start of the file");
  file_.Read(0x3c, &peOffset);
  uint32_t signature = 0;
  if (!file_.Read(peOffset, &signature) || !file_.Has(uint64_t{peOffset} + 4, kCoffHeaderSize)) {
    return Refuse(PeLoadStatus::kTruncated, "the PE header at " + Hex(peOffset) + " lies past the end of the file");
  }
  if (signature != 0x00004550) return Refuse(PeLoadStatus::kNotPe, "no PE signature at " + Hex(peOffset));
  uint64_t coff = uint64_t{peOffset} + 4;
  uint16_t machine = 0, optionalSize = 0, characteristics = 0;
  file_.Read(coff, &machine);
  file_.Read(coff + 2, &headers_.sectionCount);
  file_.Read(coff + 16, &optionalSize);
  file_.Read(coff + 18, &characteristics);
  if (machine != kMachineAmd64)
    return Refuse(PeLoadStatus::kWrongMachine, "machine " + Hex(machine) + " is not x86-64");
  if (!(characteristics & kFileExecutableImage)) {
    return Refuse(PeLoadStatus::kNotExecutable, "the file is not marked as an executable image");
  }
  if (characteristics & kFileRelocsStripped) {
    return Refuse(PeLoadStatus::kNotExecutable,
                  "relocations were stripped: the image cannot be loaded at another address");
  }
  return ParseOptionalHeader(coff + kCoffHeaderSize, optionalSize);
}

bool PeLoader::ParseOptionalHeader(uint64_t offset, uint16_t optionalSize) {
  if (optionalSize < kOptionalFixedSize || !file_.Has(offset, optionalSize)) {
    return Refuse(PeLoadStatus::kTruncated,
                  "the optional header (" + std::to_string(optionalSize) + " bytes) is cut short");
  }
  uint16_t magic = 0;
  uint32_t directoryCount = 0;
  file_.Read(offset, &magic);
  if (magic != kOptionalMagicPe32Plus) return Refuse(PeLoadStatus::kWrongMachine, "not a PE32+ optional header");
  file_.Read(offset + 16, &headers_.entryPoint);
  file_.Read(offset + 24, &headers_.imageBase);
  file_.Read(offset + 32, &headers_.sectionAlignment);
  file_.Read(offset + 36, &headers_.fileAlignment);
  file_.Read(offset + 56, &headers_.imageSize);
  file_.Read(offset + 60, &headers_.headersSize);
  file_.Read(offset + 108, &directoryCount);
  if (directoryCount > (optionalSize - kOptionalFixedSize) / 8) {
    return Refuse(PeLoadStatus::kTruncated,
                  std::to_string(directoryCount) + " data directories do not fit the optional header");
  }
  for (uint32_t i = 0; i < std::min<uint32_t>(directoryCount, kDirectoryCount); ++i) {
    file_.Read(offset + kOptionalFixedSize + 8 * i, &headers_.directories[i].rva);
    file_.Read(offset + kOptionalFixedSize + 8 * i + 4, &headers_.directories[i].size);
  }
  headers_.sectionTableOffset = offset + optionalSize;

  // Each section must start on a page of its own to get its own protection.
  uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (!PowerOfTwo(headers_.sectionAlignment) || headers_.sectionAlignment % page != 0) {
    return Refuse(PeLoadStatus::kBadLayout,
                  "section alignment " + Hex(headers_.sectionAlignment) +
                      " is not a multiple of the page size: sections cannot be protected apart");
  }
  if (!PowerOfTwo(headers_.fileAlignment) || headers_.fileAlignment < 512 || headers_.fileAlignment > 65536) {
    return Refuse(PeLoadStatus::kBadLayout,
                  "file alignment " + Hex(headers_.fileAlignment) + " is not a power of two from 512 to 64K");
  }
  if (headers_.imageSize == 0 || headers_.imageSize > kMaxImageSize) {
    return Refuse(PeLoadStatus::kTooLarge,
                  "image size " + Hex(headers_.imageSize) + " is zero or beyond " + Hex(kMaxImageSize));
  }
  if (headers_.imageBase % 65536 != 0) {
    return Refuse(PeLoadStatus::kBadLayout, "preferred base " + Hex(headers_.imageBase) + " is not 64K-aligned");
  }
  return true;
}

bool PeLoader::ParseSections() {
  if (headers_.sectionCount == 0 || headers_.sectionCount > kMaxSections) {
    return Refuse(PeLoadStatus::kTooLarge, std::to_string(headers_.sectionCount) + " sections (1 to " +
                                               std::to_string(kMaxSections) + " allowed)");
  }
  uint64_t tableEnd = headers_.sectionTableOffset + uint64_t{headers_.sectionCount} * kSectionHeaderSize;
  if (!file_.Has(headers_.sectionTableOffset, tableEnd - headers_.sectionTableOffset)) {
    return Refuse(PeLoadStatus::kTruncated, "the section table runs past the end of the file");
  }
  if (headers_.headersSize < tableEnd || headers_.headersSize > file_.Size() ||
      headers_.headersSize > headers_.imageSize) {
    return Refuse(PeLoadStatus::kBadLayout, "headers size " + Hex(headers_.headersSize) +
                                                " does not cover the section table or exceeds the file or image");
  }
  uint64_t previousEnd = headers_.headersSize;  // sections follow the headers, in order, without overlap
  for (uint16_t i = 0; i < headers_.sectionCount; ++i) {
    uint64_t header = headers_.sectionTableOffset + uint64_t{i} * kSectionHeaderSize;
    Section section;
    char name[9] = {};
    memcpy(name, file_.At(header), 8);
    section.name = name;
    file_.Read(header + 8, &section.virtualSize);
    file_.Read(header + 12, &section.virtualAddress);
    file_.Read(header + 16, &section.rawSize);
    file_.Read(header + 20, &section.rawOffset);
    file_.Read(header + 36, &section.characteristics);
    if (section.virtualSize == 0) section.virtualSize = section.rawSize;
    const std::string what = "section " + std::to_string(i) + " (" + section.name + ")";
    if (section.virtualAddress % headers_.sectionAlignment != 0) {
      return Refuse(PeLoadStatus::kBadLayout, what + " at " + Hex(section.virtualAddress) + " is not section-aligned");
    }
    if (section.virtualAddress < RoundUp(previousEnd, headers_.sectionAlignment)) {
      return Refuse(PeLoadStatus::kBadLayout,
                    what + " at " + Hex(section.virtualAddress) + " overlaps the headers or the section before it");
    }
    previousEnd = uint64_t{section.virtualAddress} + section.virtualSize;
    if (previousEnd > headers_.imageSize) {
      return Refuse(PeLoadStatus::kBadLayout,
                    what + " ends at " + Hex(previousEnd) + ", past the image size " + Hex(headers_.imageSize));
    }
    if (section.rawSize != 0 && !file_.Has(section.rawOffset, section.rawSize)) {
      return Refuse(PeLoadStatus::kTruncated, what + ": its " + Hex(section.rawSize) + " bytes at file offset " +
                                                  Hex(section.rawOffset) + " run past the end of the file");
    }
    if ((section.characteristics & kSectionWrite) && (section.characteristics & kSectionExecute)) {
      return Refuse(PeLoadStatus::kWritableCode, what + " is both writable and executable");
    }
    sections_.push_back(section);
  }
  return true;
}

bool PeLoader::CheckEntryPoint() {
  const Section* section = SectionHolding(headers_.entryPoint, 1);
  if (headers_.entryPoint == 0 || section == nullptr || !(section->characteristics & kSectionExecute)) {
    return Refuse(PeLoadStatus::kBadEntryPoint,
                  "the entry point " + Hex(headers_.entryPoint) + " is not in executable code");
  }
  return true;
}

const Section* PeLoader::SectionHolding(uint64_t rva, uint64_t length) const {
  for (const Section& section : sections_) {
    if (section.Holds(rva, length)) return &section;
  }
  return nullptr;
}

// Anywhere mmap likes, read-write while the loader fills it in; the pages no
// header or section covers stay zero and become inaccessible in Protect().
bool PeLoader::Map() {
  image_.reset(new PeImage());
  size_t size = RoundUp(headers_.imageSize, static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return Refuse(PeLoadStatus::kNoMemory, "could not map " + Hex(size) + " bytes for the image");
  image_->base_ = reinterpret_cast<uintptr_t>(base);
  image_->size_ = size;
  image_->preferredBase_ = headers_.imageBase;
  image_->entryPoint_ = MappedAt(headers_.entryPoint);
  memcpy(MappedAt(0), file_.At(0), headers_.headersSize);
  for (const Section& section : sections_) {
    memcpy(MappedAt(section.virtualAddress), file_.At(section.rawOffset),
           std::min(section.rawSize, section.virtualSize));
  }
  return true;
}

bool PeLoader::DirectoryRange(Directory which, const char* what, DataDirectory* range) {
  *range = headers_.directories[which];
  if (range->size != 0 && !Mapped().Has(range->rva, range->size)) {
    return Refuse(which == kDirectoryBaseRelocation ? PeLoadStatus::kBadRelocation
                  : which == kDirectoryImport       ? PeLoadStatus::kBadImport
                                                    : PeLoadStatus::kTruncated,
                  std::string("the ") + what + " directory at " + Hex(range->rva) + " (" + Hex(range->size) +
                      " bytes) lies outside the image");
  }
  return true;
}

// Reads every relocation block; only DIR64 (add the load offset to an 8-byte
// address) and ABSOLUTE (padding) occur in x64 code, anything else is refused.
bool PeLoader::ParseRelocations() {
  DataDirectory range;
  if (!DirectoryRange(kDirectoryBaseRelocation, "base relocation", &range)) return false;
  if (range.size == 0) {
    return Refuse(PeLoadStatus::kBadRelocation,
                  "the image has no base relocations and cannot move from " + Hex(headers_.imageBase));
  }
  Bytes mapped = Mapped();
  uint64_t offset = range.rva, end = uint64_t{range.rva} + range.size;
  while (offset < end) {
    uint32_t page = 0, blockSize = 0;
    if (end - offset < 8)
      return Refuse(PeLoadStatus::kBadRelocation, "a relocation block header at " + Hex(offset) + " is cut short");
    mapped.Read(offset, &page);
    mapped.Read(offset + 4, &blockSize);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - offset) {
      return Refuse(PeLoadStatus::kBadRelocation, "the relocation block at " + Hex(offset) + " has size " +
                                                      Hex(blockSize) + ", outside the relocation directory");
    }
    for (uint64_t entry = offset + 8; entry < offset + blockSize; entry += 2) {
      uint16_t value = 0;
      mapped.Read(entry, &value);
      uint16_t type = value >> 12;
      uint64_t target = uint64_t{page} + (value & 0xfff);
      if (type == kRelocationAbsolute) continue;
      if (type != kRelocationDir64) {
        return Refuse(PeLoadStatus::kUnsupportedRelocation, "relocation type " + std::to_string(type) + " at " +
                                                                Hex(target) +
                                                                " (only DIR64 and ABSOLUTE are supported)");
      }
      if (SectionHolding(target, 8) == nullptr) {
        return Refuse(PeLoadStatus::kBadRelocation, "a relocation at " + Hex(target) + " lies outside every section");
      }
      relocatedSlots_.push_back(static_cast<uint32_t>(target));
    }
    offset += blockSize;
  }
  std::sort(relocatedSlots_.begin(), relocatedSlots_.end());
  for (size_t i = 1; i < relocatedSlots_.size(); ++i) {
    if (relocatedSlots_[i] - relocatedSlots_[i - 1] < 8) {
      return Refuse(PeLoadStatus::kBadRelocation,
                    "relocations at " + Hex(relocatedSlots_[i - 1]) + " and " + Hex(relocatedSlots_[i]) + " overlap");
    }
  }
  return true;
}

// The kernel never sets up thread-local storage for a driver nor calls TLS
// callbacks, so an image that has either would run without what it expects.
bool PeLoader::CheckTls() {
  DataDirectory range;
  if (!DirectoryRange(kDirectoryTls, "TLS", &range)) return false;
  if (range.size == 0) return true;
  uint64_t callbacks = 0;
  if (range.size < kTlsDirectorySize || !Mapped().Read(uint64_t{range.rva} + 24, &callbacks)) {
    return Refuse(PeLoadStatus::kTruncated, "the TLS directory is cut short");
  }
  if (callbacks != 0) {
    return Refuse(PeLoadStatus::kThreadLocalStorage,
                  "the image has TLS callbacks (table at " + Hex(callbacks) + "), which a driver never gets called");
  }
  return Refuse(PeLoadStatus::kThreadLocalStorage, "the image has thread-local storage, which a driver never gets");
}

bool PeLoader::CheckInitialiserSections() {
  for (const Section& section : sections_) {
    for (const char* prefix : kInitialiserSections) {
      if (section.name.rfind(prefix, 0) == 0 && section.rawSize != 0) {
        return Refuse(PeLoadStatus::kConstructors,
                      "section " + section.name + " lists initialisers or finalisers, which nothing would run");
      }
    }
  }
  return true;
}

// The GNU linker folds the constructor and destructor lists into the code
// section: an 8-byte -1, the function addresses, an 8-byte 0. In a stripped
// image the list is still recognisable: a relocated address in executable
// code directly after an all-ones word is the first entry of a non-empty list
// (an empty list is -1 followed by 0, with nothing relocated). Ordinary x64
// code holds no absolute addresses, so nothing else matches.
bool PeLoader::CheckConstructorLists() {
  for (uint32_t slot : relocatedSlots_) {
    const Section* section = SectionHolding(slot, 8);
    if (section == nullptr || slot < 8 || !(section->characteristics & kSectionExecute)) continue;
    if (!section->Holds(slot - 8, 8)) continue;
    uint64_t marker = 0;
    memcpy(&marker, MappedAt(slot - 8), 8);
    if (marker == ~uint64_t{0}) {
      return Refuse(PeLoadStatus::kConstructors, "a constructor or destructor list in " + section->name + " at " +
                                                     Hex(slot - 8) + " has entries, which nothing would run");
    }
  }
  return true;
}

bool PeLoader::ApplyRelocations() {
  uint64_t delta = image_->base_ - headers_.imageBase;
  for (uint32_t slot : relocatedSlots_) {
    uint64_t value = 0;
    memcpy(&value, MappedAt(slot), 8);
    value += delta;
    memcpy(MappedAt(slot), &value, 8);
  }
  return true;
}

bool PeLoader::BindImports() {
  DataDirectory range;
  if (!DirectoryRange(kDirectoryImport, "import", &range)) return false;
  if (range.size == 0) return true;
  std::vector<std::string> unknown;
  for (uint64_t descriptor = range.rva;; descriptor += kImportDescriptorSize) {
    if (descriptor + kImportDescriptorSize > uint64_t{range.rva} + range.size) {
      return Refuse(PeLoadStatus::kBadImport, "the import directory has no terminating entry");
    }
    static const uint8_t kZero[kImportDescriptorSize] = {};
    if (memcmp(MappedAt(descriptor), kZero, kImportDescriptorSize) == 0) break;
    if ((descriptor - range.rva) / kImportDescriptorSize >= kMaxImportedModules) {
      return Refuse(PeLoadStatus::kTooLarge, "more than " + std::to_string(kMaxImportedModules) + " imported modules");
    }
    if (!BindModule(descriptor, &unknown)) return false;
  }
  if (!unknown.empty()) {
    std::string list;
    for (const std::string& name : unknown) list += (list.empty() ? "" : ", ") + name;
    return Refuse(PeLoadStatus::kUnknownImport, "the image imports what the platform does not provide: " + list);
  }
  return true;
}

// One module's imports: the lookup table names each function, the address
// table beside it receives the addresses.
bool PeLoader::BindModule(uint64_t descriptor, std::vector<std::string>* unknown) {
  Bytes mapped = Mapped();
  uint32_t lookup = 0, nameRva = 0, addresses = 0;
  mapped.Read(descriptor, &lookup);
  mapped.Read(descriptor + 12, &nameRva);
  mapped.Read(descriptor + 16, &addresses);
  std::string module;
  if (!mapped.String(nameRva, kMaxNameLength, &module) || module.empty()) {
    return Refuse(PeLoadStatus::kBadImport,
                  "an imported module's name at " + Hex(nameRva) + " is not a string in the image");
  }
  if (lookup == 0) lookup = addresses;  // no separate lookup table: the address table names the functions
  std::unordered_map<std::string, void*> offered;
  for (const PeExport& e : exports_) {
    if (Lower(e.module) == Lower(module)) offered.emplace(e.name, e.address);
  }
  for (uint64_t i = 0;; ++i) {
    uint64_t entry = 0;
    if (!mapped.Read(lookup + 8 * i, &entry) || !mapped.Has(addresses + 8 * i, 8)) {
      return Refuse(PeLoadStatus::kBadImport, "the import tables of " + module + " run past the end of the image");
    }
    if (entry == 0) return true;
    // Unknown names count as well: each costs a string in the refusal.
    if (image_->imports_.size() + unknown->size() >= kMaxImports) {
      return Refuse(PeLoadStatus::kTooLarge, "more than " + std::to_string(kMaxImports) + " imports");
    }
    if (entry & kImportByOrdinalFlag) {
      return Refuse(PeLoadStatus::kImportByOrdinal, "the image imports ordinal " + std::to_string(entry & 0xffff) +
                                                        " from " + module + "; only imports by name are resolved");
    }
    std::string function;
    if (entry > 0x7fffffff || !mapped.String(entry + 2, kMaxNameLength, &function) || function.empty()) {
      return Refuse(PeLoadStatus::kBadImport,
                    "import " + std::to_string(i) + " of " + module + " names no string in the image");
    }
    auto found = offered.find(function);
    void** slot = reinterpret_cast<void**>(MappedAt(addresses + 8 * i));
    if (found == offered.end()) {
      unknown->push_back(module + "!" + function);
      continue;
    }
    memcpy(slot, &found->second, sizeof(void*));
    image_->imports_.push_back(PeBoundImport{module, function, slot});
  }
}

// Headers read-only; each section as its header says; every page that
// belongs to no section inaccessible.
bool PeLoader::Protect() {
  uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  auto protect = [&](uint64_t begin, uint64_t end, int protection) {
    return begin >= end || mprotect(MappedAt(begin), end - begin, protection) == 0;
  };
  bool ok = protect(0, image_->size_, PROT_NONE) && protect(0, RoundUp(headers_.headersSize, page), PROT_READ);
  for (const Section& section : sections_) {
    int protection = PROT_NONE;
    if (section.characteristics & kSectionRead) protection |= PROT_READ;
    if (section.characteristics & kSectionWrite) protection |= PROT_READ | PROT_WRITE;
    if (section.characteristics & kSectionExecute) protection |= PROT_READ | PROT_EXEC;
    uint64_t end = RoundUp(uint64_t{section.virtualAddress} + section.virtualSize, page);
    ok = ok && protect(section.virtualAddress, end, protection);
    if (section.characteristics & kSectionDiscardable && end > section.virtualAddress) {
      image_->discardable_.emplace_back(image_->base_ + section.virtualAddress, end - section.virtualAddress);
    }
  }
  return ok || Refuse(PeLoadStatus::kNoMemory, "could not set the protection of the image's pages");
}

bool PeImage::DiscardSections() {
  bool ok = true;
  for (const auto& [address, length] : discardable_) {
    ok = mprotect(reinterpret_cast<void*>(address), length, PROT_NONE) == 0 && ok;
  }
  return ok;
}

PeLoadResult LoadPeImage(const uint8_t* file, size_t size, const std::vector<PeExport>& exports) {
  return PeLoader(file, size, exports).Run();
}

// Plain reads rather than a stream: a stream's iterator throws on a
// directory, and a file larger than any image is refused before reading it.
PeLoadResult LoadPeImageFile(const std::string& path, const std::vector<PeExport>& exports) {
  PeLoadResult refused;
  refused.status = PeLoadStatus::kIoError;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) close(fd);
    refused.error = "cannot read " + path + ": not a readable file";
    return refused;
  }
  if (uint64_t(status.st_size) > kMaxImageSize) {
    close(fd);
    refused.status = PeLoadStatus::kTooLarge;
    refused.error = path + " is larger than any image (" + std::to_string(status.st_size) + " bytes)";
    return refused;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(status.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done != bytes.size()) {
    refused.error = "cannot read " + path + ": it ended or failed after " + std::to_string(done) + " bytes";
    return refused;
  }
  return LoadPeImage(bytes.data(), bytes.size(), exports);
}

}  // namespace host
