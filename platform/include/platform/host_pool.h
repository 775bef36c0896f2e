// Test-rig view of the host pool: live allocations counted by tag, and
// injectable allocation failures; and the other failures the rig can inject
// into the platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace host {

struct PoolTagUsage {
  uint64_t liveAllocations = 0;
  uint64_t liveBytes = 0;
  uint64_t totalAllocations = 0;  // successful allocations since the last reset
};

// Live allocations and bytes of one tag ("KCNw") or of all tags (empty string).
PoolTagUsage PoolUsage(const std::string& tag = std::string());
uint64_t PoolLiveAllocations(const std::string& tag = std::string());
// Clears the per-tag totals (live counts are never reset).
void ResetPoolTotals();

// Failure injection, as the platform's verifier does it. Only the driver's
// own attempts are counted and failed at random: its pool allocations
// (including those the class driver and the USB library make inside a call
// of the driver's, such as an object-bag entry), and separately its I/O
// requests and memory descriptors, whose pool blocks are not counted as pool
// allocations. What the platform and the test rig allocate on their own
// account is left alone (tag faults still apply to it).
enum class AllocationKind { Pool, Irp, Mdl };
// Attempts of the kind are counted from the moment of arming:
// FailNthAllocation(1) makes the next one fail.
void FailNthAllocation(uint64_t n, AllocationKind kind = AllocationKind::Pool);
// Every allocation with this tag fails until ClearPoolFaults.
void FailAllocationsWithTag(const std::string& tag);
// Each counted attempt of every kind fails with the given chance, from a
// generator seeded with seed, until ClearPoolFaults.
void FailAllocationsAtRandom(uint32_t percent, uint64_t seed);
// Clears every fault above and every attempt counter.
void ClearPoolFaults();
// Counted attempts of the kind since the counter was last cleared (also by
// ClearPoolFaults), and the attempts that were made to fail.
uint64_t AllocationAttempts(AllocationKind kind);
uint64_t PoolAllocationAttempts();
uint64_t InjectedAllocationFailures();
// Counted pool attempts with the tag that the injection made fail: what a
// test checks to tell which kind of object its driver went without.
uint64_t InjectedPoolFailures(const std::string& tag);

// While one lives on a thread, its pool allocations belong to the test rig:
// never counted, never failed at random, never reported as the driver's.
class RigAllocations {
 public:
  RigAllocations();
  ~RigAllocations();
  RigAllocations(const RigAllocations&) = delete;
  RigAllocations& operator=(const RigAllocations&) = delete;
};

// Pool blocks, I/O requests and memory descriptors the driver allocated
// since the first of the devices now present was added and has not freed:
// "tag: blocks, bytes" per tag, empty when there are none. The class driver
// host aborts with this text when the last device is removed.
std::string DriverAllocationsOutstanding();

// Told by every platform fault before it aborts, so that a failure of a
// seeded or walked test says which case it was; empty to clear.
void SetFaultContext(const std::string& context);

std::string TagName(uint32_t tag);

// Makes KeSaveExtendedProcessorState fail (as it may on the platform) until
// called again with false.
void FailExtendedStateSaves(bool fail);

}  // namespace host
