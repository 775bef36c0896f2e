// The host stand-in is at least as strict as the platform where a driver
// mistake would pass here and crash there: halted endpoints, pipe resets with
// transfers queued, late cancellations, memory descriptors of real pool,
// synchronous requests finished by their own thread, notification events,
// pool types and levels, re-entered locks, the extended processor state, the
// configuration parser.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "driver/platform_layout.h"
#include "platform/host_pool.h"
#include "support/pool_buffer.h"
#include "support/scripted_device.h"
#include "tools/client/camera_system.h"
#include "usb/usb_requests.h"

namespace {

using kscam::CameraSystem;
using kscam_test::PoolBuffer;
using std::chrono::milliseconds;

constexpr uint8_t kFrameEndpoint = 0x82;

// A started driver on a scripted device: the frame endpoint never has data
// unless a test injects a fault, so IN transfers on it stay queued.
class StrictBus : public ::testing::Test {
 protected:
  void SetUp() override {
    system_ = std::make_unique<CameraSystem>(std::make_unique<test::ScriptedDevice>());
    ASSERT_EQ(system_->LoadDriver(), STATUS_SUCCESS);
    ASSERT_EQ(system_->AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(system_->StartDevice(), STATUS_SUCCESS);
    usb_ = &system_->Context()->usb;
  }
  host::UsbBus& Bus() { return system_->Bus(); }

  std::unique_ptr<CameraSystem> system_;
  UsbDevice* usb_ = nullptr;
};

// One IN transfer on the frame pipe, sent as the driver sends its chunks: its
// completion records where, when and how it ran.
struct InTransfer {
  explicit InTransfer(UsbDevice* usb) : buffer(512) {
    irp = IoAllocateIrp(CHAR(usb->lowerDeviceObject->StackSize + 1), FALSE);
    urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kTagUsb));
    BuildBulkTransfer(urb, PipeAt(usb, kFramePipe), buffer.data(), nullptr, 512);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
    submitted = IoCallDriver(usb->lowerDeviceObject, irp);
  }
  ~InTransfer() {
    EXPECT_TRUE(WaitDone()) << "transfer never completed";
    IoFreeIrp(irp);
    ExFreePoolWithTag(urb, kTagUsb);
  }
  static NTSTATUS NTAPI Completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<InTransfer*>(context);
    self->status = irp->IoStatus.Status;
    self->irql = KeGetCurrentIrql();
    self->thread = std::this_thread::get_id();
    self->done.store(true);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  bool WaitDone(milliseconds limit = milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done.load())
      if (std::chrono::steady_clock::now() > deadline) return false;
      else std::this_thread::sleep_for(milliseconds(1));
    return true;
  }

  PoolBuffer buffer;
  PIRP irp;
  PURB urb;
  NTSTATUS submitted;
  std::atomic<bool> done{false};
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = 0;
  std::thread::id thread;
};

void WaitForQueued(host::UsbBus& bus, size_t count) {
  for (int i = 0; i < 5000 && bus.PendingInTransfers() < count; ++i) std::this_thread::sleep_for(milliseconds(1));
  ASSERT_EQ(bus.PendingInTransfers(), count);
}

// Waits until the bus has looked at a fresh IN transfer and put it back in its
// queue. While the bus looks at a transfer, the transfer is off the queue with
// no cancel routine, and IoCancelIrp rightly returns FALSE; a test of the
// queued case cancels only after the look.
void WaitUntilLookedAtAndQueued(host::UsbBus& bus, const std::atomic<bool>& looked) {
  for (int i = 0; i < 5000 && !(looked.load() && bus.PendingInTransfers() == 1); ++i)
    std::this_thread::sleep_for(milliseconds(1));
  ASSERT_TRUE(looked.load());
  ASSERT_EQ(bus.PendingInTransfers(), 1u);
}

// --- Endpoint halt, pipe reset and abort ----------------------------------------

TEST_F(StrictBus, FailedTransferHaltsItsEndpointUntilThePipeIsReset) {
  Bus().SetInFault([](uint8_t endpoint, uint64_t index) {
    host::UsbBus::InFault fault;
    fault.fail = endpoint == kFrameEndpoint && index == 0;
    return fault;
  });
  {
    InTransfer first(usb_);
    ASSERT_TRUE(first.WaitDone());
    EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL);
  }
  EXPECT_TRUE(Bus().EndpointHalted(kFrameEndpoint));
  {
    InTransfer later(usb_);
    ASSERT_TRUE(later.WaitDone());
    EXPECT_EQ(later.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(later.urb->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  }
  EXPECT_EQ(ResetPipe(usb_, kFramePipe), STATUS_SUCCESS);
  EXPECT_FALSE(Bus().EndpointHalted(kFrameEndpoint));
  InTransfer afterReset(usb_);
  WaitForQueued(Bus(), 1);  // queued again, waiting for data
  EXPECT_FALSE(afterReset.done.load());
  IoCancelIrp(afterReset.irp);
}

TEST_F(StrictBus, ResetIsRefusedWhileTransfersAreQueuedAndAbortCompletesBeforeThem) {
  Bus().SetCancellationDelay(100);
  InTransfer queued(usb_);
  WaitForQueued(Bus(), 1);
  EXPECT_EQ(ResetPipe(usb_, kFramePipe), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(AbortPipe(usb_, kFramePipe), STATUS_SUCCESS);
  EXPECT_FALSE(queued.done.load()) << "the aborted transfer completes after the abort";
  ASSERT_TRUE(queued.WaitDone());
  EXPECT_EQ(queued.status, STATUS_CANCELLED);
  EXPECT_EQ(ResetPipe(usb_, kFramePipe), STATUS_SUCCESS);
}

// --- Cancellation -----------------------------------------------------------------

TEST_F(StrictBus, CancelledTransferCompletesLaterFromTheBusThreadAtDispatchLevel) {
  auto looked = std::make_shared<std::atomic<bool>>(false);
  Bus().SetInFault([looked](uint8_t, uint64_t) {
    looked->store(true);
    return host::UsbBus::InFault();
  });
  Bus().SetCancellationDelay(50);
  InTransfer late(usb_);
  WaitUntilLookedAtAndQueued(Bus(), *looked);
  EXPECT_TRUE(IoCancelIrp(late.irp));
  EXPECT_FALSE(late.done.load()) << "completed inside IoCancelIrp";
  ASSERT_TRUE(late.WaitDone());
  EXPECT_EQ(late.status, STATUS_CANCELLED);
  EXPECT_NE(late.thread, std::this_thread::get_id());
  EXPECT_EQ(late.irql, DISPATCH_LEVEL);

  Bus().SetSynchronousCancellation(true);
  looked->store(false);
  InTransfer inline_(usb_);
  WaitUntilLookedAtAndQueued(Bus(), *looked);
  EXPECT_TRUE(IoCancelIrp(inline_.irp));
  EXPECT_TRUE(inline_.done.load()) << "the synchronous case completes inside IoCancelIrp";
  EXPECT_EQ(inline_.thread, std::this_thread::get_id());
  EXPECT_EQ(inline_.irql, DISPATCH_LEVEL);
}

// --- Synchronous requests end in an APC to their own thread ----------------------

TEST_F(StrictBus, SynchronousRequestUnderAFastMutexIsALoudFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  EXPECT_DEATH(
      {
        ExAcquireFastMutex(&mutex);
        ResetPipe(usb_, kFramePipe);
      },
      "above passive level");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
        ResetPipe(usb_, kFramePipe);
        KeReleaseSpinLock(&lock, irql);
      },
      "above passive level");
}

// A lower driver that keeps every request until the test completes it.
struct HoldingDriver {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  std::atomic<PIRP> held{nullptr};
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    IoMarkIrpPending(irp);
    static_cast<HoldingDriver*>(device->DeviceExtension)->held.store(irp);
    return STATUS_PENDING;
  }
  HoldingDriver() {
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device.DriverObject = &driver;
    device.DeviceExtension = this;
    device.StackSize = 1;
  }
  void CompleteFromAnotherThread(NTSTATUS status) {
    std::thread([&] {
      PIRP irp = held.exchange(nullptr);
      irp->IoStatus.Status = status;
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      KeLowerIrql(old);
    }).join();
  }
};

TEST(HostApc, SynchronousRequestIsFinishedByTheThreadThatWaitsForIt) {
  HoldingDriver lower;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoCallDriver(&lower.device, irp), STATUS_PENDING);
  lower.CompleteFromAnotherThread(STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "finished before its thread could run the APC";
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Status, STATUS_DEVICE_DATA_ERROR);
}

TEST(HostApc, WaitingForASynchronousRequestAtApcLevelIsADeadlockFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        HoldingDriver lower;
        KEVENT event;
        IO_STATUS_BLOCK ioStatus{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildDeviceIoControlRequest(0x220003, &lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
        IoCallDriver(&lower.device, irp);
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock");
}

// --- Dispatcher objects and locks --------------------------------------------------

TEST(HostDispatcherStrict, NotificationEventReleasesEveryWaiterPresentAtTheSetEvenIfResetAtOnce) {
  for (int round = 0; round < 20; ++round) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> waiting{0};
    std::vector<std::future<NTSTATUS>> waiters;
    for (int i = 0; i < 4; ++i)
      waiters.push_back(std::async(std::launch::async, [&] {
        ++waiting;
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      }));
    while (waiting.load() < 4) std::this_thread::yield();
    std::this_thread::sleep_for(milliseconds(5));  // let them sleep in the wait
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeResetEvent(&event);
    for (auto& waiter : waiters) {
      ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "a waiter missed the set";
      EXPECT_EQ(waiter.get(), STATUS_SUCCESS);
    }
  }
}

// A synchronous request's event lives on the waiter's stack and is set by a
// completion on another thread. Once the wait returns, the setter must have
// stopped writing to it, as the kernel's dispatcher lock guarantees: the
// waiter reuses the memory at once.
TEST(HostDispatcherStrict, AnEventOnTheWaitersStackIsNotWrittenAfterTheWaitReturns) {
  for (int round = 0; round < 2000; ++round) {
    alignas(KEVENT) unsigned char storage[sizeof(KEVENT)];
    auto* event = reinterpret_cast<KEVENT*>(storage);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    std::thread setter([event] { KeSetEvent(event, IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER poll;
    poll.QuadPart = 0;  // look without sleeping: the wait ends the moment the set shows
    while (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &poll) == STATUS_TIMEOUT) {
    }
    memset(storage, 0xA5, sizeof storage);  // the waiter's memory again
    setter.join();
    for (unsigned char byte : storage) ASSERT_EQ(byte, 0xA5) << "written after the wait returned, round " << round;
  }
}

TEST(HostDispatcherStrict, LocksTakenAgainByTheirHolderAreFaultsNotHangs) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        KeAcquireSpinLockRaiseToDpc(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
      },
      "acquired again");
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  EXPECT_DEATH(
      {
        ExAcquireFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
      },
      "acquired again");
  // Held by another thread is an ordinary wait.
  ExAcquireFastMutex(&mutex);
  auto other = std::async(std::launch::async, [&] {
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
  });
  EXPECT_EQ(other.wait_for(milliseconds(20)), std::future_status::timeout);
  ExReleaseFastMutex(&mutex);
  other.get();
}

TEST(HostDispatcherStrict, ExtendedStateChecksLevelAndPairingAndCanFail) {
  XSTATE_SAVE outer, inner;
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
  ASSERT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
  KeRestoreExtendedProcessorState(&inner);
  KeRestoreExtendedProcessorState(&outer);
  host::FailExtendedStateSaves(true);
  EXPECT_NE(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
  host::FailExtendedStateSaves(false);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(KeRestoreExtendedProcessorState(&outer), "without a save");
  EXPECT_DEATH(
      {
        KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer);
        KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner);
        KeRestoreExtendedProcessorState(&outer);
      },
      "out of order");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer);
      },
      "above dispatch level");
}

// --- Pool ------------------------------------------------------------------------

TEST(HostPoolStrict, PageSizedAllocationsArePageAlignedAndTypesAndLevelsAreChecked) {
  for (SIZE_T size : {SIZE_T(PAGE_SIZE), SIZE_T(PAGE_SIZE + 1), SIZE_T(6114304)}) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, size, PoolTag("Test"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % PAGE_SIZE, 0u) << size;
    ExFreePoolWithTag(p, PoolTag("Test"));
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void* atDispatch = ExAllocatePoolWithTag(NonPagedPoolNx, 64, PoolTag("Test"));
  EXPECT_NE(atDispatch, nullptr);
  ExFreePoolWithTag(atDispatch, PoolTag("Test"));
  KeLowerIrql(old);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ExAllocatePoolWithTag(POOL_TYPE(7), 64, PoolTag("Test")), "unknown pool type");
  EXPECT_DEATH(
      {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 64, PoolTag("Test"));
      },
      "paged pool above APC level");
  EXPECT_DEATH(
      {
        KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        ExAllocatePoolWithTag(NonPagedPoolNx, 64, PoolTag("Test"));
      },
      "above dispatch level");
}

// Overruns, double frees and writes after free are caught where the special
// pool catches them: at the free, or when the freed block leaves quarantine.
TEST(HostPoolStrict, OverrunsDoubleFreesAndWritesAfterFreeAbortNamingTheTag) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (SIZE_T size : {SIZE_T(1), SIZE_T(64), SIZE_T(PAGE_SIZE), SIZE_T(100000)}) {
    EXPECT_DEATH(
        {
          auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, PoolTag("Ovrn")));
          p[size] = 0;  // one byte past the end
          ExFreePoolWithTag(p, PoolTag("Ovrn"));
        },
        "past the end.*of [0-9]+ bytes, tag \"Ovrn\"");
  }
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 48, PoolTag("Twic"));
        ExFreePoolWithTag(p, PoolTag("Twic"));
        ExFreePoolWithTag(p, PoolTag("Twic"));
      },
      "freed twice.*Twic");
  EXPECT_DEATH(
      {
        auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 48, PoolTag("Late")));
        ExFreePoolWithTag(p, PoolTag("Late"));
        p[47] = 1;
        // Push the block out of quarantine.
        for (int i = 0; i < 600; ++i) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 60000, PoolTag("Fill")), PoolTag("Fill"));
      },
      "after it was freed.*Late");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 48, PoolTag("Righ"));
        ExFreePoolWithTag(p, PoolTag("Wron"));
      },
      "wrong tag.*Righ");
  // The exact size, and a block written to its last byte, free cleanly.
  auto* exact = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 4097, PoolTag("Test")));
  memset(exact, 0x11, 4097);
  ExFreePoolWithTag(exact, PoolTag("Test"));
}

// --- Memory descriptors ------------------------------------------------------------

TEST(HostMdlStrict, DescriptorsDescribeBuiltNonPagedPoolOnly) {
  PoolBuffer pool(3 * PAGE_SIZE + 100);
  PMDL whole = IoAllocateMdl(pool.data() + 10, ULONG(pool.size() - 10), FALSE, FALSE, nullptr);
  PMDL part = IoAllocateMdl(pool.data(), 100, FALSE, FALSE, nullptr);  // room for one page
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(IoBuildPartialMdl(whole, part, pool.data() + 10, 50), "never built");
  EXPECT_DEATH(MmGetSystemAddressForMdlSafe(whole, NormalPagePriority), "never built");
  MmBuildMdlForNonPagedPool(whole);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(whole, NormalPagePriority), pool.data() + 10);
  EXPECT_DEATH(IoBuildPartialMdl(whole, part, pool.data() + 100, 2 * PAGE_SIZE), "too small");
  EXPECT_DEATH(IoBuildPartialMdl(whole, part, pool.data() + 5, 10), "outside");
  EXPECT_DEATH(IoBuildPartialMdl(whole, part, pool.data() + pool.size() - 10, 11), "outside");
  IoBuildPartialMdl(whole, part, pool.data() + pool.size() - 10, 10);  // the very end fits
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), pool.data() + pool.size() - 10);
  IoFreeMdl(part);
  IoFreeMdl(whole);

  UCHAR onStack[256];
  PMDL stack = IoAllocateMdl(onStack, sizeof onStack, FALSE, FALSE, nullptr);
  EXPECT_DEATH(MmBuildMdlForNonPagedPool(stack), "not non-paged pool");
  IoFreeMdl(stack);
  PMDL pastTheEnd = IoAllocateMdl(pool.data(), ULONG(pool.size() + 1), FALSE, FALSE, nullptr);
  EXPECT_DEATH(MmBuildMdlForNonPagedPool(pastTheEnd), "not non-paged pool");
  IoFreeMdl(pastTheEnd);
}

// --- The configuration parser --------------------------------------------------------

TEST(HostUsbdStrict, ParserTrustsTheDescriptorsAsThePlatformsDoes) {
  std::vector<uint8_t> set = test::Configuration(test::CameraInterface());
  auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  ASSERT_NE(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1), nullptr);

  // A short descriptor of interface type is not skipped: it is returned.
  std::vector<uint8_t> shortInterface = set;
  shortInterface.insert(shortInterface.begin() + 9, {4, USB_INTERFACE_DESCRIPTOR_TYPE, 7, 0});
  shortInterface[2] = uint8_t(shortInterface.size());
  auto* withShort = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(shortInterface.data());
  EXPECT_EQ(reinterpret_cast<uint8_t*>(USBD_ParseConfigurationDescriptorEx(withShort, withShort, 7, -1, -1, -1, -1)),
            shortInterface.data() + 9);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<uint8_t> zeroLength = set;
  zeroLength[9] = 0;
  auto* looping = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(zeroLength.data());
  EXPECT_DEATH(USBD_ParseConfigurationDescriptorEx(looping, looping, 5, 0, -1, -1, -1), "length 0");
}

}  // namespace
