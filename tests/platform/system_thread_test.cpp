// System threads on the host: kernel handles only, waiting on the thread
// object, termination, reference counting, what a thread may not hold when
// it ends, creation failures, and the CPU accounting benchmarks rely on.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "platform/nt.h"

namespace {

struct ThreadRun {
  std::atomic<int> stage{0};
  std::atomic<KIRQL> irql{0xFF};
  KEVENT release;
};

void NTAPI RecordAndWait(PVOID context) {
  auto* run = static_cast<ThreadRun*>(context);
  run->irql = KeGetCurrentIrql();
  run->stage = 1;
  KeWaitForSingleObject(&run->release, Executive, KernelMode, FALSE, nullptr);
  run->stage = 2;
}

void NTAPI TerminateEarly(PVOID context) {
  auto* run = static_cast<ThreadRun*>(context);
  run->stage = 1;
  PsTerminateSystemThread(STATUS_SUCCESS);
  run->stage = 2;  // never reached
}

NTSTATUS StartThread(PKSTART_ROUTINE routine, PVOID context, HANDLE* handle) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, context);
}

// Starts a thread and turns its handle into a referenced object, as a driver does.
PVOID StartReferenced(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle = nullptr;
  EXPECT_EQ(StartThread(routine, context, &handle), STATUS_SUCCESS);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return object;
}

TEST(SystemThread, RunsAtPassiveAndItsObjectSignalsWhenItEnds) {
  uint64_t poolBefore = host::PoolLiveAllocations();
  size_t objectsBefore = host::LiveThreadObjects();
  ThreadRun run;
  KeInitializeEvent(&run.release, NotificationEvent, FALSE);
  PVOID thread = StartReferenced(RecordAndWait, &run);
  ASSERT_NE(thread, nullptr);
  while (run.stage.load() == 0) std::this_thread::yield();
  EXPECT_EQ(run.irql.load(), PASSIVE_LEVEL);
  LARGE_INTEGER none;
  none.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &none), STATUS_TIMEOUT)
      << "a running thread's object is not signalled";
  KeSetEvent(&run.release, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(run.stage.load(), 2);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &none), STATUS_SUCCESS)
      << "an ended thread stays signalled";
  ObDereferenceObject(thread);
  EXPECT_EQ(host::LiveThreadObjects(), objectsBefore) << "the last reference frees the object";
  EXPECT_EQ(host::OpenThreadHandles(), 0u);
  EXPECT_EQ(host::PoolLiveAllocations(), poolBefore);
}

TEST(SystemThread, TerminateEndsTheThreadWhereItIsAndTheHandleKeepsTheObject) {
  size_t objectsBefore = host::LiveThreadObjects();
  ThreadRun run;
  HANDLE handle = nullptr;
  ASSERT_EQ(StartThread(TerminateEarly, &run, &handle), STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(run.stage.load(), 1);
  ObDereferenceObject(thread);
  EXPECT_EQ(host::LiveThreadObjects(), objectsBefore + 1) << "the open handle still holds the object";
  EXPECT_EQ(host::OpenThreadHandles(), 1u);
  ZwClose(handle);
  EXPECT_EQ(host::LiveThreadObjects(), objectsBefore);
}

TEST(SystemThread, BadReferenceRequestsGetStatuses) {
  ThreadRun run;
  HANDLE handle = nullptr;
  ASSERT_EQ(StartThread(TerminateEarly, &run, &handle), STATUS_SUCCESS);
  PVOID object = reinterpret_cast<PVOID>(1);
  auto otherType = reinterpret_cast<POBJECT_TYPE>(0x1234);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, otherType, KernelMode, &object, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, UserMode, &object, nullptr), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7770), 0, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);  // run is on this stack
  ObDereferenceObject(object);
  ZwClose(handle);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr), STATUS_INVALID_HANDLE)
      << "a closed handle";
}

TEST(SystemThread, CreationFailsCleanlyWhenAskedToOrWhenPoolRunsOut) {
  uint64_t poolBefore = host::PoolLiveAllocations();
  ThreadRun run;
  HANDLE handle = reinterpret_cast<HANDLE>(0x55);
  host::FailThreadCreation(true);
  EXPECT_EQ(StartThread(TerminateEarly, &run, &handle), STATUS_INSUFFICIENT_RESOURCES);
  host::FailThreadCreation(false);
  host::FailAllocationsWithTag("Thrd");
  EXPECT_EQ(StartThread(TerminateEarly, &run, &handle), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_EQ(run.stage.load(), 0) << "no thread ran";
  EXPECT_EQ(host::OpenThreadHandles(), 0u);
  EXPECT_EQ(host::PoolLiveAllocations(), poolBefore);
}

void NTAPI BurnCpu(PVOID context) {
  auto* milliseconds = static_cast<int*>(context);
  struct timespec start, now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  do clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < *milliseconds);
}

TEST(SystemThread, CpuTimeOfEndedThreadsIsAccounted) {
  uint64_t before = host::ThreadCpuNanoseconds(host::ThreadRole::System);
  int milliseconds = 30;
  PVOID thread = StartReferenced(BurnCpu, &milliseconds);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  uint64_t spent = host::ThreadCpuNanoseconds(host::ThreadRole::System) - before;
  EXPECT_GE(spent, 30'000'000u);
  EXPECT_LT(spent, 2'000'000'000u);
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u);
}

TEST(SystemThread, ProcessorCountIsTheMachines) {
  KAFFINITY mask = 0;
  ULONG count = KeQueryActiveProcessorCount(&mask);
  EXPECT_EQ(count, std::thread::hardware_concurrency());
  EXPECT_EQ(ULONG(__builtin_popcountll(mask)), count);
  EXPECT_EQ(KeQueryActiveProcessorCount(nullptr), count);
}

void NTAPI EndInCriticalRegion(PVOID) { KeEnterCriticalRegion(); }
void NTAPI EndAtDispatch(PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}
KMUTEX heldMutex;
void NTAPI EndOwningMutex(PVOID) { KeWaitForSingleObject(&heldMutex, Executive, KernelMode, FALSE, nullptr); }

void RunToEnd(PKSTART_ROUTINE routine) {
  PVOID thread = StartReferenced(routine, nullptr);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

TEST(SystemThreadDeathTest, MisusesFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ThreadRun run;
  HANDLE handle;
  EXPECT_DEATH(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminateEarly, &run),
               "OBJ_KERNEL_HANDLE");
  OBJECT_ATTRIBUTES userHandle;
  InitializeObjectAttributes(&userHandle, nullptr, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  EXPECT_DEATH(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &userHandle, nullptr, nullptr, TerminateEarly, &run),
               "OBJ_KERNEL_HANDLE");
  EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "not a system thread");
  EXPECT_DEATH(RunToEnd(EndInCriticalRegion), "critical region");
  EXPECT_DEATH(RunToEnd(EndAtDispatch), "raised IRQL");
  KeInitializeMutex(&heldMutex, 0);
  EXPECT_DEATH(RunToEnd(EndOwningMutex), "kernel mutex");
  EXPECT_DEATH(
      {
        PVOID thread = StartReferenced(TerminateEarly, &run);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        ObDereferenceObject(thread);
      },
      "no reference left");
}

}  // namespace
