// The host platform's verifier: what the driver still owns when its last
// device goes, underruns and writes after free found by the time of the
// removal, the failure injection by kind and at random, and the level and
// ownership rules of the calls the driver makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "driver/kernel.h"
#include "platform/host_pool.h"
#include "platform/ks_host.h"

namespace {

// A device added and removed around body, with a driver that does nothing.
template <typename Body>
void WithDevice(Body body) {
  host::KsClassDriver driver;
  DEVICE_OBJECT physical{};
  physical.StackSize = 1;
  host::KsDeviceHost device(driver, &physical);
  ASSERT_EQ(device.Add(), STATUS_SUCCESS);
  body();
  device.Remove();
}

TEST(HostVerifier, WhatTheDriverStillOwnsWhenItsLastDeviceGoesIsReportedByTag) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(WithDevice([] { ExAllocatePoolWithTag(NonPagedPoolNx, 40, PoolTag("Leak")); }),
               "outstanding after its last device was removed: \"Leak\": 1 blocks, 40 bytes");
  EXPECT_DEATH(WithDevice([] { IoAllocateIrp(2, FALSE); }), "\"!Irp\": 1 blocks");
  static UCHAR buffer[64];
  EXPECT_DEATH(WithDevice([] { IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr); }),
               "\"!Mdl\": 1 blocks");
}

TEST(HostVerifier, OnlyTheDriversAllocationsOfTheDevicesLifetimeCount) {
  // Older than the device, or the rig's own: neither is the device's leak.
  void* older = ExAllocatePoolWithTag(NonPagedPoolNx, 16, PoolTag("Oldr"));
  void* rigs = nullptr;
  WithDevice([&] {
    host::RigAllocations rig;
    rigs = ExAllocatePoolWithTag(NonPagedPoolNx, 16, PoolTag("Rigs"));
  });
  // With a second device present the first one's removal reports nothing
  // yet; the last removal does.
  host::KsClassDriver driver;
  DEVICE_OBJECT physical{};
  physical.StackSize = 1;
  host::KsDeviceHost first(driver, &physical), second(driver, &physical);
  ASSERT_EQ(first.Add(), STATUS_SUCCESS);
  ASSERT_EQ(second.Add(), STATUS_SUCCESS);
  void* shared = ExAllocatePoolWithTag(NonPagedPoolNx, 24, PoolTag("Shrd"));
  first.Remove();
  EXPECT_EQ(host::DriverAllocationsOutstanding(), "\"Shrd\": 1 blocks, 24 bytes");
  ExFreePool(shared);
  second.Remove();
  ExFreePool(older);
  ExFreePool(rigs);
}

TEST(HostVerifier, UnderrunsAndWritesAfterFreeAbortNamingTagAndSize) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (SIZE_T size : {SIZE_T(1), SIZE_T(PAGE_SIZE)}) {
    EXPECT_DEATH(
        {
          auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, PoolTag("Undr")));
          p[-1] = 0;
          ExFreePoolWithTag(p, PoolTag("Undr"));
        },
        "before the start of a pool block \\(pool block of [0-9]+ bytes, tag \"Undr\"\\)");
  }
  // A write after free is found when the device goes, not only once the
  // block leaves quarantine much later.
  EXPECT_DEATH(WithDevice([] {
                 auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 48, PoolTag("Used")));
                 ExFreePoolWithTag(p, PoolTag("Used"));
                 p[0] = 1;
               }),
               "after it was freed \\(pool block of 48 bytes, tag \"Used\"\\)");
  // Freed memory reads as poison.
  auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, PoolTag("Pois")));
  ExFreePoolWithTag(p, PoolTag("Pois"));
  EXPECT_EQ(p[0], 0xFD);
  EXPECT_EQ(p[31], 0xFD);
}

TEST(HostVerifier, FaultsNameTheCaseTheTestSetAsContext) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        host::SetFaultContext("seed 1234");
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Ctxt"));
        ExFreePool(p);
        ExFreePool(p);
      },
      "freed twice.*\n.*context: seed 1234");
}

TEST(HostFailureInjection, PoolRequestsAndDescriptorsAreCountedApart) {
  static UCHAR buffer[256];
  host::ClearPoolFaults();  // every counter from zero, whatever ran before
  host::FailNthAllocation(2, host::AllocationKind::Irp);
  PIRP first = IoAllocateIrp(2, FALSE);
  void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Test"));
  PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  PIRP third = IoAllocateIrp(2, FALSE);
  EXPECT_EQ(host::AllocationAttempts(host::AllocationKind::Irp), 3u);
  EXPECT_EQ(host::AllocationAttempts(host::AllocationKind::Mdl), 1u);
  EXPECT_EQ(host::AllocationAttempts(host::AllocationKind::Pool), 1u) << "request blocks are no pool attempts";
  EXPECT_EQ(host::InjectedAllocationFailures(), 1u);
  host::ClearPoolFaults();
  for (void* irp : {first, third}) {
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(static_cast<PIRP>(irp));
  }
  ASSERT_NE(mdl, nullptr);
  IoFreeMdl(mdl);
  ExFreePool(pool);

  host::FailNthAllocation(1, host::AllocationKind::Mdl);
  EXPECT_EQ(IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr), nullptr);
  host::FailNthAllocation(1);
  {
    host::RigAllocations rig;
    void* rigs = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Rigs"));
    EXPECT_NE(rigs, nullptr) << "the rig's allocations are never failed by number";
    ExFreePool(rigs);
  }
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Test")), nullptr);
  host::ClearPoolFaults();
}

// Which of n attempts fail under a seed, as a bit string.
std::string RandomFailures(uint32_t percent, uint64_t seed, int attempts) {
  std::string failed;
  host::FailAllocationsAtRandom(percent, seed);
  for (int i = 0; i < attempts; ++i) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Rand"));
    failed += p == nullptr ? '1' : '0';
    if (p != nullptr) ExFreePool(p);
  }
  host::ClearPoolFaults();
  return failed;
}

TEST(HostFailureInjection, RandomFailuresRepeatWithTheirSeedAtTheirRate) {
  std::string first = RandomFailures(6, 42, 20000);
  EXPECT_EQ(first, RandomFailures(6, 42, 20000));
  EXPECT_NE(first, RandomFailures(6, 43, 20000));
  size_t failures = std::count(first.begin(), first.end(), '1');
  EXPECT_GT(failures, 1000u);  // 6 % of 20,000 is 1,200
  EXPECT_LT(failures, 1400u);
  EXPECT_EQ(RandomFailures(100, 7, 10), std::string(10, '1'));
  EXPECT_EQ(RandomFailures(0, 7, 10), std::string(10, '0'));
}

TEST(HostFailureInjection, ThreadsAllocatingAtOnceLoseNoCountAndLeaveNothingBehind) {
  // The capture thread, the band workers and a client's property calls
  // allocate at the same time: every attempt is counted once, every failure
  // is one of them, and the driver's blocks are all accounted for.
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<uint64_t> failed{0};
  WithDevice([&] {
    host::ClearPoolFaults();
    host::FailAllocationsAtRandom(30, 99);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
          void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 24, PoolTag("Race"));
          PIRP irp = IoAllocateIrp(1, FALSE);
          failed += (p == nullptr) + (irp == nullptr);
          if (p != nullptr) ExFreePoolWithTag(p, PoolTag("Race"));
          if (irp != nullptr) IoFreeIrp(irp);
        }
      });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(host::AllocationAttempts(host::AllocationKind::Pool), uint64_t(kThreads * kRounds));
    EXPECT_EQ(host::AllocationAttempts(host::AllocationKind::Irp), uint64_t(kThreads * kRounds));
    EXPECT_EQ(host::InjectedAllocationFailures(), failed.load());
    EXPECT_EQ(host::DriverAllocationsOutstanding(), "");
    host::ClearPoolFaults();
  });
}

TEST(HostIrqlRules, LocksReleasedByWhoeverDoesNotHoldThemAndCallsAboveTheirLevelAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        std::thread([&] { KeAcquireSpinLockRaiseToDpc(&lock); }).join();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLock(&lock, old);
      },
      "does not hold the lock");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KeLowerIrql(PASSIVE_LEVEL);
        KeReleaseSpinLock(&lock, old);
      },
      "lowered while the lock was held");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeEnterCriticalRegion();
      },
      "KeEnterCriticalRegion above APC level");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;  // a millisecond: a time-out does not make it legal
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "may block at dispatch level");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 16, PoolTag("Page"));
      },
      "paged pool above APC level");
}

TEST(HostIrqlRules, TheDeviceMutexIsReleasedOnlyByItsHolder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  host::KsClassDriver driver;
  DEVICE_OBJECT physical{};
  physical.StackSize = 1;
  host::KsDeviceHost device(driver, &physical);
  EXPECT_DEATH(KsReleaseDevice(device.Device()), "does not hold the device mutex");
  KsAcquireDevice(device.Device());
  KsReleaseDevice(device.Device());
}

}  // namespace
