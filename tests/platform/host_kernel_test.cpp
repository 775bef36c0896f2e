// The host stand-in keeps the platform's semantics where the driver relies on
// them: pool accounting and faults, dispatcher objects, request completion
// and cancellation, memory descriptors.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/kernel.h"
#include "platform/host_pool.h"
#include "support/pool_buffer.h"

namespace {

TEST(HostPool, CountsLiveAllocationsByTagAndFailsOnRequest) {
  uint64_t before = host::PoolLiveAllocations("Test");
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, PoolTag("Test"));
  void* b = ExAllocatePoolWithTag(NonPagedPool, 28, PoolTag("Test"));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(host::PoolLiveAllocations("Test"), before + 2);
  EXPECT_EQ(host::PoolUsage("Test").liveBytes, 128u);
  ExFreePoolWithTag(a, PoolTag("Test"));
  ExFreePool(b);
  EXPECT_EQ(host::PoolLiveAllocations("Test"), before);

  host::FailNthAllocation(2);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Test"));
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Test")), nullptr);
  EXPECT_EQ(host::PoolAllocationAttempts(), 2u);
  host::FailAllocationsWithTag("Test");
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Test")), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Othr"));
  EXPECT_NE(other, nullptr);
  host::ClearPoolFaults();
  ExFreePool(first);
  ExFreePool(other);
}

TEST(HostPool, MisusedFreesStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Test"));
  EXPECT_DEATH(ExFreePoolWithTag(p, PoolTag("Bad!")), "wrong tag");
  ExFreePool(p);
}

TEST(HostDispatcher, EventsWaitWithTimeLimitsAndKeepTheirKind) {
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  LARGE_INTEGER shortWait;
  shortWait.QuadPart = -10 * 10000;  // 10 ms
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&notification), 1) << "a notification event stays signalled";
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0) << "a synchronization event resets on a wait";

  KeResetEvent(&notification);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KeSetEvent(&notification, 0, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  setter.join();
}

TEST(HostDispatcher, MutexesAreRecursiveForTheirOwnerOnly) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  NTSTATUS otherThread = STATUS_SUCCESS;
  std::thread other([&] {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    otherThread = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
  });
  other.join();
  EXPECT_EQ(otherThread, STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
  KeReleaseMutex(&mutex, FALSE);
  std::thread after([&] {
    otherThread = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
  });
  after.join();
  EXPECT_EQ(otherThread, STATUS_SUCCESS);
}

TEST(HostDispatcher, WaitingAtDispatchLevelStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        KeReleaseSpinLock(&lock, irql);
      },
      "dispatch level");
}

// A lower driver that keeps requests pending until the test completes them.
struct PendingDriver {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  PIRP pending = nullptr;
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<PendingDriver*>(device->DeviceExtension);
    IoMarkIrpPending(irp);
    self->pending = irp;
    IoSetCancelRoutine(irp, Cancel);
    return STATUS_PENDING;
  }
  static void NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<PendingDriver*>(device->DeviceExtension)->pending = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  PendingDriver() {
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device.DriverObject = &driver;
    device.DeviceExtension = this;
    device.StackSize = 1;
  }
};

struct CompletionRecord {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  NTSTATUS answer = STATUS_MORE_PROCESSING_REQUIRED;
};

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* record = static_cast<CompletionRecord*>(context);
  ++record->calls;
  record->status = irp->IoStatus.Status;
  return record->answer;
}

PIRP RequestWithCompletion(PendingDriver& lower, CompletionRecord* record) {
  PIRP irp = IoAllocateIrp(CHAR(lower.device.StackSize + 1), FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, RecordCompletion, record, TRUE, TRUE, TRUE);
  return irp;
}

TEST(HostIo, CompletionRoutinesRunOnceAndMoreProcessingKeepsTheRequest) {
  PendingDriver lower;
  CompletionRecord record;
  PIRP irp = RequestWithCompletion(lower, &record);
  EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_PENDING);
  ASSERT_EQ(lower.pending, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.status, STATUS_SUCCESS);
  EXPECT_TRUE(irp->PendingReturned);
  IoFreeIrp(irp);  // still ours: the routine asked for more processing
}

TEST(HostIo, CancellingRunsTheCancelRoutineAndTheCompletionOnTheCaller) {
  PendingDriver lower;
  CompletionRecord record;
  PIRP irp = RequestWithCompletion(lower, &record);
  IoCallDriver(&lower.device, irp);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(record.calls, 1);
  EXPECT_EQ(record.status, STATUS_CANCELLED);
  EXPECT_FALSE(IoCancelIrp(irp)) << "a completed request has no cancel routine";
  IoFreeIrp(irp);
}

TEST(HostIo, DeviceControlRequestsSignalTheirEventAndFreeThemselves) {
  PendingDriver lower;
  KEVENT event;
  IO_STATUS_BLOCK status{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  uint64_t irpsBefore = host::PoolLiveAllocations("!Irp");
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &status);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_PENDING);
  irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
  irp->IoStatus.Information = 5;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(status.Status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(status.Information, 5u);
  EXPECT_EQ(host::PoolLiveAllocations("!Irp"), irpsBefore);
}

TEST(HostIo, PartialDescriptorsMapPiecesOfTheWholeBuffer) {
  kscam_test::PoolBuffer pool(3 * PAGE_SIZE + 100);
  PUCHAR buffer = pool.data();
  PMDL whole = IoAllocateMdl(buffer + 10, ULONG(pool.size() - 10), FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(whole);
  PIRP irp = IoAllocateIrp(2, FALSE);
  PMDL part = IoAllocateMdl(MmGetMdlVirtualAddress(whole), MmGetMdlByteCount(whole), FALSE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, part);
  IoBuildPartialMdl(whole, part, buffer + 4096, 2000);
  EXPECT_EQ(MmGetMdlByteCount(part), 2000u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + 4096);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(IoBuildPartialMdl(whole, part, buffer + pool.size() - 10, 100), "outside");
  IoFreeMdl(part);
  IoFreeIrp(irp);
  IoFreeMdl(whole);
}

}  // namespace
