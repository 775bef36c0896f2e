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

// Failure injection. Allocations are counted from the moment of arming.
// FailNthAllocation(1) makes the next allocation fail.
void FailNthAllocation(uint64_t n);
// Every allocation with this tag fails until ClearPoolFaults.
void FailAllocationsWithTag(const std::string& tag);
void ClearPoolFaults();
// Allocations attempted since the counter was last cleared (also by ClearPoolFaults).
uint64_t PoolAllocationAttempts();

std::string TagName(uint32_t tag);

// Makes KeSaveExtendedProcessorState fail (as it may on the platform) until
// called again with false.
void FailExtendedStateSaves(bool fail);

}  // namespace host
