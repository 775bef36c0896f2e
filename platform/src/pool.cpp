// Non-paged pool on the host: allocations with a header that records the tag
// and size, so that tests can account for every allocation by tag and make
// chosen allocations fail. As on the platform, a request of a page or more
// starts on a page boundary, the pool type and the caller's level are checked,
// and the live non-paged ranges are known so memory descriptors can be checked.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/host_pool.h"
#include "platform/nt.h"
#include "host_internal.h"

namespace {

constexpr uint64_t kLiveMagic = 0x6c6f6f7020766976ull;
constexpr uint64_t kFreedMagic = 0x6465657266206f6eull;

// 48 bytes keep the caller's memory 16-byte aligned, as the platform's pool is.
struct alignas(16) PoolHeader {
  uint64_t magic;
  uint64_t size;
  uint64_t serial;  // allocation order: what a device's lifetime allocated
  uint32_t tag;
  uint16_t nonPaged;
  uint16_t driverOwned;  // allocated by the driver, not by the platform or the rig
  void* block;           // what the host allocator returned
  uint8_t frontGuard[8];  // right before the caller's memory: catches underruns
};
static_assert(sizeof(PoolHeader) == 48);

// Guard bytes after every allocation, checked when it is freed: an overrun
// by the driver aborts naming the tag and size, as the platform's special
// pool does, instead of silently corrupting a neighbour.
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuardFill = 0xA5;
// Freed small blocks are filled with a poison pattern and kept back for a
// while before the host allocator gets them: a double free then finds the
// freed mark, and a write after free spoils the pattern, which is checked
// when the block finally leaves quarantine.
constexpr uint8_t kPoisonFill = 0xFD;
constexpr size_t kQuarantineMaxBlock = 64 * 1024;
constexpr size_t kQuarantineBudget = 16 * 1024 * 1024;

// Large blocks (frame buffers) are kept after they are freed and handed out
// again: fresh memory is slow to fault in on a virtual machine (over 100 ms
// for one full frame), and that cost belongs to the test rig, not to the
// driver whose state changes are timed. The platform's non-paged pool is
// resident anyway.
constexpr size_t kLargeBlock = 1024 * 1024;
constexpr size_t kLargeCacheBudget = 256 * 1024 * 1024;

struct LargeBlock {
  void* block;
  size_t bytes;  // the whole block, header page and guard included
};

// One kind of counted attempt: how many were made since arming, and which
// one fails (0: none).
struct FaultCounter {
  uint64_t attempts = 0;
  uint64_t failAt = 0;
};

struct PoolState {
  std::mutex lock;
  std::map<uint32_t, host::PoolTagUsage> byTag;  // guarded by lock
  FaultCounter counters[3];                       // by AllocationKind; guarded by lock
  uint32_t randomPercent = 0;                     // guarded by lock
  uint64_t randomState = 0;                       // guarded by lock
  uint64_t injectedFailures = 0;                  // guarded by lock
  std::map<uint32_t, uint64_t> injectedByTag;     // counted pool attempts made to fail, by tag; guarded by lock
  bool failTagArmed = false;                      // guarded by lock
  uint32_t failTag = 0;                           // guarded by lock
  uint64_t nextSerial = 1;                        // guarded by lock
  std::set<PoolHeader*> driverBlocks;             // live blocks the driver owns; guarded by lock
  int driverDevices = 0;                          // devices added, not yet removed; guarded by lock
  uint64_t windowStart = 0;  // serial of the first allocation since the first of them came; guarded by lock
  std::map<uintptr_t, uint64_t> nonPagedRanges;  // start -> size; guarded by lock
  std::deque<PoolHeader*> quarantine;             // oldest first; guarded by lock
  size_t quarantineBytes = 0;                     // guarded by lock
  std::deque<LargeBlock> largeCache;              // guarded by lock
  size_t largeCacheBytes = 0;                     // guarded by lock
};

PoolState& State() {
  static PoolState* state = new PoolState;  // never destroyed: used by late frees
  return *state;
}

// Nesting depth of RigAllocations on this thread: the rig's own allocations.
thread_local int rigDepth = 0;
// Nesting depth of UncountedPool: the pool blocks of requests and
// descriptors, which are counted as their own kind.
thread_local int uncountedDepth = 0;

// SplitMix64: a small generator whose sequence depends on the seed alone.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Whether a counted attempt fails, by its number or at random. Called with
// lock held.
bool CountedAttemptFails(PoolState& state, host::AllocationKind kind) {
  FaultCounter& counter = state.counters[int(kind)];
  ++counter.attempts;
  bool fail = counter.failAt != 0 && counter.attempts == counter.failAt;
  if (!fail && state.randomPercent != 0) fail = NextRandom(&state.randomState) % 100 < state.randomPercent;
  if (fail) ++state.injectedFailures;
  return fail;
}

// "tag: n blocks, b bytes; ..." for the driver's live blocks allocated since
// the window opened. Called with lock held.
std::string OutstandingLocked(PoolState& state) {
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> byTag;
  for (PoolHeader* header : state.driverBlocks)
    if (header->serial >= state.windowStart) {
      auto& entry = byTag[header->tag];
      ++entry.first;
      entry.second += header->size;
    }
  std::string text;
  for (const auto& [tag, entry] : byTag) {
    if (!text.empty()) text += "; ";
    text += "\"" + host::TagName(tag) + "\": " + std::to_string(entry.first) + " blocks, " +
            std::to_string(entry.second) + " bytes";
  }
  return text;
}

uint32_t TagFromString(const std::string& tag) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < tag.size(); ++i) value |= uint32_t(uint8_t(tag[i])) << (8 * i);
  return value;
}

PoolHeader* HeaderOf(void* p) { return static_cast<PoolHeader*>(p) - 1; }

size_t BlockBytes(size_t lead, size_t bytes) { return lead + bytes + kGuardBytes; }

// A cached large block of at least `bytes` (the smallest that fits), or a
// new page-aligned one that asks the host for huge pages.
void* TakeLargeBlock(PoolState& state, size_t bytes) {
  {
    std::lock_guard<std::mutex> guard(state.lock);
    auto best = state.largeCache.end();
    for (auto it = state.largeCache.begin(); it != state.largeCache.end(); ++it)
      if (it->bytes >= bytes && it->bytes < bytes + bytes / 4 && (best == state.largeCache.end() || it->bytes < best->bytes))
        best = it;
    if (best != state.largeCache.end()) {
      void* block = best->block;
      state.largeCacheBytes -= best->bytes;
      state.largeCache.erase(best);
      return block;
    }
  }
  void* block = nullptr;
  if (posix_memalign(&block, PAGE_SIZE, bytes) != 0) return nullptr;
  madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

// Keeps a freed large block for reuse, dropping the oldest beyond the
// budget. Called with lock held.
void KeepLargeBlock(PoolState& state, void* block, size_t bytes) {
  state.largeCache.push_back(LargeBlock{block, bytes});
  state.largeCacheBytes += bytes;
  while (state.largeCacheBytes > kLargeCacheBudget) {
    state.largeCacheBytes -= state.largeCache.front().bytes;
    free(state.largeCache.front().block);
    state.largeCache.pop_front();
  }
}

[[noreturn]] void PoolFault(const char* what, const PoolHeader* header) {
  char message[160];
  snprintf(message, sizeof(message), "%s (pool block of %llu bytes, tag \"%s\")", what,
           static_cast<unsigned long long>(header->size), host::TagName(header->tag).c_str());
  host::PlatformFault(message);
}

bool Filled(const uint8_t* bytes, size_t count, uint8_t fill) {
  for (size_t i = 0; i < count; ++i)
    if (bytes[i] != fill) return false;
  return true;
}

void CheckGuard(const PoolHeader* header) {
  auto* guard = reinterpret_cast<const uint8_t*>(header + 1) + header->size;
  if (!Filled(guard, kGuardBytes, kGuardFill)) PoolFault("write past the end of a pool block", header);
  if (!Filled(header->frontGuard, sizeof(header->frontGuard), kGuardFill))
    PoolFault("write before the start of a pool block", header);
}

void CheckPoison(const PoolHeader* header) {
  if (!Filled(reinterpret_cast<const uint8_t*>(header + 1), header->size, kPoisonFill))
    PoolFault("write to a pool block after it was freed", header);
}

// Releases the oldest quarantined blocks until the budget holds, checking
// that nobody wrote to them after they were freed. Called with lock held.
void TrimQuarantine(PoolState& state) {
  while (state.quarantineBytes > kQuarantineBudget && !state.quarantine.empty()) {
    PoolHeader* header = state.quarantine.front();
    state.quarantine.pop_front();
    state.quarantineBytes -= header->size;
    CheckPoison(header);
    free(header->block);
  }
}

}  // namespace

// Checks the pool type and the caller's level; returns whether it is non-paged.
bool CheckPoolUse(POOL_TYPE poolType) {
  KIRQL irql = KeGetCurrentIrql();
  switch (poolType) {
    case NonPagedPool:
    case NonPagedPoolNx:
      if (irql > DISPATCH_LEVEL) host::PlatformFault("non-paged pool above dispatch level");
      return true;
    case PagedPool:
      if (irql > APC_LEVEL) host::PlatformFault("paged pool above APC level");
      return false;
  }
  host::PlatformFault("unknown pool type");
}

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  bool nonPaged = CheckPoolUse(poolType);
  PoolState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (rigDepth == 0 && uncountedDepth == 0 && CountedAttemptFails(state, host::AllocationKind::Pool)) {
      ++state.injectedByTag[tag];
      return nullptr;
    }
    if (state.failTagArmed && state.failTag == tag) return nullptr;
  }
  if (numberOfBytes > (SIZE_T(1) << 40)) return nullptr;
  // A page or more starts on a page boundary: the header sits at the end of
  // a page of its own before it.
  size_t lead = numberOfBytes >= PAGE_SIZE ? PAGE_SIZE : sizeof(PoolHeader);
  void* block = nullptr;
  if (numberOfBytes >= kLargeBlock) {
    block = TakeLargeBlock(state, BlockBytes(lead, numberOfBytes));
    if (block == nullptr) return nullptr;
  } else if (posix_memalign(&block, lead == PAGE_SIZE ? PAGE_SIZE : 16, BlockBytes(lead, numberOfBytes)) != 0) {
    return nullptr;
  }
  auto* header = reinterpret_cast<PoolHeader*>(static_cast<char*>(block) + lead) - 1;
  header->magic = kLiveMagic;
  header->size = numberOfBytes;
  header->tag = tag;
  header->nonPaged = nonPaged;
  header->driverOwned = rigDepth == 0;
  header->block = block;
  memset(header->frontGuard, kGuardFill, sizeof(header->frontGuard));
  // Fresh pool memory is not zero on the platform; a recognisable pattern
  // makes a missing initialisation show.
  memset(header + 1, 0xCD, numberOfBytes);
  memset(reinterpret_cast<uint8_t*>(header + 1) + numberOfBytes, kGuardFill, kGuardBytes);
  std::lock_guard<std::mutex> guard(state.lock);
  host::PoolTagUsage& usage = state.byTag[tag];
  ++usage.liveAllocations;
  usage.liveBytes += numberOfBytes;
  ++usage.totalAllocations;
  header->serial = state.nextSerial++;
  if (header->driverOwned) state.driverBlocks.insert(header);
  if (nonPaged) state.nonPagedRanges[reinterpret_cast<uintptr_t>(header + 1)] = numberOfBytes;
  return header + 1;
}

static void FreePool(PVOID p, bool checkTag, ULONG tag) {
  if (p == nullptr) host::PlatformFault("ExFreePool of a null pointer");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("ExFreePool above dispatch level");
  PoolHeader* header = HeaderOf(p);
  if (header->magic == kFreedMagic) PoolFault("pool block freed twice", header);
  if (header->magic != kLiveMagic) host::PlatformFault("ExFreePool of memory that is not live pool");
  if (checkTag && header->tag != tag) PoolFault("ExFreePoolWithTag with the wrong tag", header);
  CheckGuard(header);
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  host::PoolTagUsage& usage = state.byTag[header->tag];
  --usage.liveAllocations;
  usage.liveBytes -= header->size;
  state.nonPagedRanges.erase(reinterpret_cast<uintptr_t>(p));
  if (header->driverOwned) state.driverBlocks.erase(header);
  header->magic = kFreedMagic;
  if (header->size >= kLargeBlock) {
    KeepLargeBlock(state, header->block, BlockBytes(PAGE_SIZE, header->size));
    return;
  }
  if (header->size > kQuarantineMaxBlock) {
    free(header->block);
    return;
  }
  memset(p, kPoisonFill, header->size);
  state.quarantine.push_back(header);
  state.quarantineBytes += header->size;
  TrimQuarantine(state);
}

void ExFreePoolWithTag(PVOID p, ULONG tag) { FreePool(p, true, tag); }
void ExFreePool(PVOID p) { FreePool(p, false, 0); }

namespace host {

bool IsNonPagedPoolRange(const void* address, size_t length) {
  PoolState& state = State();
  auto start = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> guard(state.lock);
  auto it = state.nonPagedRanges.upper_bound(start);
  if (it == state.nonPagedRanges.begin()) return false;
  --it;
  return start + length <= it->first + it->second && start + length >= start;
}

PoolTagUsage PoolUsage(const std::string& tag) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!tag.empty()) {
    auto it = state.byTag.find(TagFromString(tag));
    return it == state.byTag.end() ? PoolTagUsage{} : it->second;
  }
  PoolTagUsage all;
  for (const auto& [key, usage] : state.byTag) {
    all.liveAllocations += usage.liveAllocations;
    all.liveBytes += usage.liveBytes;
    all.totalAllocations += usage.totalAllocations;
  }
  return all;
}

uint64_t PoolLiveAllocations(const std::string& tag) { return PoolUsage(tag).liveAllocations; }

void ResetPoolTotals() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  for (auto& [key, usage] : state.byTag) usage.totalAllocations = 0;
}

void FailNthAllocation(uint64_t n, AllocationKind kind) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.counters[int(kind)] = FaultCounter{0, n};
}

void FailAllocationsWithTag(const std::string& tag) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.failTagArmed = true;
  state.failTag = TagFromString(tag);
}

void FailAllocationsAtRandom(uint32_t percent, uint64_t seed) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.randomPercent = percent > 100 ? 100 : percent;
  state.randomState = seed;
}

void ClearPoolFaults() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  for (FaultCounter& counter : state.counters) counter = FaultCounter{};
  state.failTagArmed = false;
  state.randomPercent = 0;
  state.injectedFailures = 0;
  state.injectedByTag.clear();
}

uint64_t AllocationAttempts(AllocationKind kind) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.counters[int(kind)].attempts;
}

uint64_t PoolAllocationAttempts() { return AllocationAttempts(AllocationKind::Pool); }

uint64_t InjectedAllocationFailures() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.injectedFailures;
}

uint64_t InjectedPoolFailures(const std::string& tag) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  auto found = state.injectedByTag.find(TagFromString(tag));
  return found == state.injectedByTag.end() ? 0 : found->second;
}

bool InjectAllocationFailure(AllocationKind kind) {
  if (rigDepth != 0) return false;
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return CountedAttemptFails(state, kind);
}

RigAllocations::RigAllocations() { ++rigDepth; }
RigAllocations::~RigAllocations() { --rigDepth; }
UncountedPool::UncountedPool() { ++uncountedDepth; }
UncountedPool::~UncountedPool() { --uncountedDepth; }

std::string DriverAllocationsOutstanding() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return OutstandingLocked(state);
}

void DriverDeviceAdded() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.driverDevices++ == 0) state.windowStart = state.nextSerial;
}

// The platform's verifier checks at unload that a driver freed everything;
// here the last device's removal plays that part, so a test that leaks
// fails in the test that leaked, naming the tags.
void DriverDeviceRemoved() {
  PoolState& state = State();
  std::string outstanding;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    // Every block still in quarantine is checked now, not when it leaves:
    // a write after free then fails the test that made it.
    for (const PoolHeader* header : state.quarantine) CheckPoison(header);
    if (--state.driverDevices == 0) outstanding = OutstandingLocked(state);
  }
  if (!outstanding.empty())
    PlatformFault(("driver allocations outstanding after its last device was removed: " + outstanding).c_str());
}

std::string TagName(uint32_t tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) name += char((tag >> (8 * i)) & 0xFF);
  return name;
}

}  // namespace host
