// The class driver's pins on the host, driven through a minidriver of the
// test's own: creation checks and order, format changes, stepped states,
// client frames behind the leading edge, processing rules, the processing
// mutex, the reference clock, data ranges, and the faults a driver mistake
// causes.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "platform/ks_host.h"

namespace {

using std::chrono::milliseconds;

constexpr GUID kMajor = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSub = {0x44444444, 0x5555, 0x6666, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSpecifier = {0x77777777, 0x8888, 0x9999, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOther = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {1, 2, 3, 4, 5, 6, 7, 8}};

// A format of the test's own: the KSDATAFORMAT and 20 bytes of payload.
struct TestFormat {
  KSDATAFORMAT header;
  UCHAR payload[20];
};

// The minidriver's behaviour and what it saw. Its callbacks are plain
// functions, so they reach the one fake of the running test through g_fake.
struct FakeMinidriver {
  std::mutex lock;  // guards calls
  std::vector<std::string> calls;
  NTSTATUS setFormatResult = STATUS_SUCCESS;
  NTSTATUS createResult = STATUS_SUCCESS;
  int failStepTo = -1;  // a state value, or -1 for none
  int slowStepMs = 0;
  bool overReadFormat = false;
  std::atomic<int> bagFrees{0};
  std::atomic<int> processCalls{0};
  std::atomic<int> inProcess{0};
  std::atomic<int> maxInProcess{0};
  std::atomic<bool> processOutsideRun{false};
  std::atomic<bool> processAfterClose{false};
  std::atomic<bool> closed{false};
  std::atomic<int> processSleepMs{0};
  // What Process does with the leading edge: fill and eject (with this many
  // bytes), and what it returns.
  std::atomic<ULONG> fillBytes{16};
  std::atomic<bool> eject{true};
  std::atomic<NTSTATUS> processResult{STATUS_PENDING};
  std::atomic<bool> lockMutexInStateChange{false};
  std::atomic<bool> mutexHeldDuringProcess{false};
  std::atomic<int> mutexHolders{0};
  PIKSREFERENCECLOCK clock = nullptr;
  ULONG seenExtent = 0;

  void Note(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  }
};
FakeMinidriver* g_fake = nullptr;

void NTAPI FreeBagItem(PVOID item) {
  ++g_fake->bagFrees;
  ExFreePool(item);
}

NTSTATUS AddBagItem(PKSPIN pin) {
  PVOID item = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554 /* "Test" */);
  return KsAddItemToObjectBag(pin->Bag, item, FreeBagItem);
}

NTSTATUS NTAPI FakeSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                           const KSATTRIBUTE_LIST*) {
  g_fake->Note(oldFormat == nullptr ? "format(new)" : "format(change)");
  AddBagItem(pin);
  if (g_fake->overReadFormat) {
    volatile UCHAR past = reinterpret_cast<const UCHAR*>(pin->ConnectionFormat)[pin->ConnectionFormat->FormatSize];
    (void)past;
  }
  EXPECT_TRUE(IsEqualGUID(range->SubFormat, kSub));
  return g_fake->setFormatResult;
}

NTSTATUS NTAPI FakeCreate(PKSPIN pin, PIRP) {
  // The format is in place before Create.
  g_fake->Note(pin->ConnectionFormat != nullptr ? "create(with format)" : "create(no format)");
  AddBagItem(pin);
  return g_fake->createResult;
}

NTSTATUS NTAPI FakeClose(PKSPIN pin, PIRP) {
  g_fake->Note(pin->DeviceState == KSSTATE_STOP ? "close(stopped)" : "close(not stopped)");
  g_fake->closed = true;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FakeSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  g_fake->Note("state " + std::to_string(from) + "->" + std::to_string(to));
  if (g_fake->slowStepMs != 0) std::this_thread::sleep_for(milliseconds(g_fake->slowStepMs));
  if (g_fake->lockMutexInStateChange) {
    KsPinAcquireProcessingMutex(pin);
    ++g_fake->mutexHolders;
    std::this_thread::sleep_for(milliseconds(2));
    --g_fake->mutexHolders;
    KsPinReleaseProcessingMutex(pin);
  }
  if (g_fake->clock != nullptr && to == KSSTATE_STOP) {
    g_fake->clock->Release();
    g_fake->clock = nullptr;
  }
  return int(to) == g_fake->failStepTo ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
}

NTSTATUS NTAPI FakeProcess(PKSPIN pin) {
  FakeMinidriver& fake = *g_fake;
  int now = ++fake.inProcess;
  int seen = fake.maxInProcess.load();
  while (now > seen && !fake.maxInProcess.compare_exchange_weak(seen, now)) {
  }
  if (fake.mutexHolders.load() != 0) fake.mutexHeldDuringProcess = true;
  if (pin->DeviceState != KSSTATE_RUN) fake.processOutsideRun = true;
  if (fake.closed) fake.processAfterClose = true;
  ++fake.processCalls;
  if (int ms = fake.processSleepMs.load()) std::this_thread::sleep_for(milliseconds(ms));
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer != nullptr) {
    fake.seenExtent = pointer->StreamHeader->FrameExtent;
    ULONG bytes = fake.fillBytes.load();
    memset(pointer->OffsetOut.Data, 0x5A, bytes < pointer->OffsetOut.Remaining ? bytes : pointer->OffsetOut.Remaining);
    pointer->StreamHeader->DataUsed = bytes;
    pointer->StreamHeader->PresentationTime.Time = fake.processCalls.load();
    pointer->StreamHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    KsStreamPointerUnlock(pointer, fake.eject.load());
  }
  --fake.inProcess;
  return fake.processResult.load();
}

const KSPIN_DISPATCH kPinDispatch = {FakeCreate, FakeClose, FakeProcess, nullptr, FakeSetDataFormat,
                                     FakeSetDeviceState, nullptr, nullptr, nullptr, nullptr};

KSDATARANGE MakeRange(ULONG size) {
  KSDATARANGE range{};
  range.FormatSize = size;
  range.MajorFormat = kMajor;
  range.SubFormat = kSub;
  range.Specifier = kSpecifier;
  return range;
}

// Two ranges: one of the plain size, one of an odd size (its payload bytes
// are the range's own), so the data-range answer must pad to 8 bytes.
struct OddRange {
  KSDATARANGE range;
  UCHAR extra[5];
};
KSDATARANGE kRange = MakeRange(sizeof(KSDATARANGE));
OddRange kOddRange = {MakeRange(sizeof(KSDATARANGE) + 5), {1, 2, 3, 4, 5}};
const PKSDATARANGE kRanges[] = {&kOddRange.range, &kRange};

KSPIN_DESCRIPTOR_EX MakePinDescriptor() {
  KSPIN_DESCRIPTOR_EX pin{};
  pin.Dispatch = &kPinDispatch;
  pin.PinDescriptor.DataRangesCount = 2;
  pin.PinDescriptor.DataRanges = kRanges;
  pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  pin.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  pin.InstancesPossible = 1;
  return pin;
}
const KSPIN_DESCRIPTOR_EX kPins[] = {MakePinDescriptor()};

KSFILTER_DESCRIPTOR MakeFilterDescriptor() {
  KSFILTER_DESCRIPTOR filter{};
  filter.Version = KSFILTER_DESCRIPTOR_VERSION;
  filter.PinDescriptorsCount = 1;
  filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  filter.PinDescriptors = kPins;
  return filter;
}
const KSFILTER_DESCRIPTOR kFilter = MakeFilterDescriptor();

TestFormat GoodFormat() {
  TestFormat format{};
  format.header = MakeRange(sizeof(TestFormat));
  for (int i = 0; i < 20; ++i) format.payload[i] = UCHAR(i);
  return format;
}

// A client's frames coming back, in order.
struct Returns {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<host::FrameCompletion> frames;  // guarded by lock

  host::FrameCompletionRoutine Routine() {
    return [this](const host::FrameCompletion& completion) {
      std::lock_guard<std::mutex> guard(lock);
      frames.push_back(completion);
      arrived.notify_all();
    };
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return arrived.wait_for(guard, milliseconds(2000), [&] { return frames.size() >= count; });
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock);
    return frames.size();
  }
};

class KsPin : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = &fake_;
    poolBefore_ = host::PoolLiveAllocations();
    physical_.StackSize = 1;
    device_ = std::make_unique<host::KsDeviceHost>(driver_, &physical_);
    ASSERT_EQ(device_->Add(), STATUS_SUCCESS);
    ASSERT_EQ(KsCreateFilterFactory(device_->Device()->FunctionalDeviceObject, &kFilter, nullptr, nullptr, 0,
                                    nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    NTSTATUS status;
    filter_ = device_->OpenFilter(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }
  void TearDown() override {
    device_.reset();
    EXPECT_EQ(host::PoolLiveAllocations(), poolBefore_) << "everything the class driver made is freed";
    g_fake = nullptr;
  }

  PKSPIN Create() {
    TestFormat format = GoodFormat();
    NTSTATUS status;
    PKSPIN pin = device_->CreatePin(filter_, 0, &format, sizeof(format), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return pin;
  }
  PKSPIN Running() {
    PKSPIN pin = Create();
    EXPECT_EQ(device_->SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    return pin;
  }

  FakeMinidriver fake_;
  host::KsClassDriver driver_;
  DEVICE_OBJECT physical_{};
  std::unique_ptr<host::KsDeviceHost> device_;
  PKSFILTER filter_ = nullptr;
  uint64_t poolBefore_ = 0;
};

TEST_F(KsPin, CreationHandsTheFormatToTheMinidriverBeforeCreate) {
  TestFormat format = GoodFormat();
  NTSTATUS status;
  PKSPIN pin = device_->CreatePin(filter_, 0, &format, sizeof(format), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(fake_.Calls(), (std::vector<std::string>{"format(new)", "create(with format)"}));
  ASSERT_NE(pin->ConnectionFormat, nullptr);
  EXPECT_NE(static_cast<void*>(pin->ConnectionFormat), static_cast<void*>(&format)) << "the class driver's own copy";
  EXPECT_EQ(memcmp(pin->ConnectionFormat, &format, sizeof(format)), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pin->ConnectionFormat) % 8, 0u);
  EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);
  EXPECT_EQ(pin->Id, 0u);
  EXPECT_EQ(pin->DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(KsGetDevice(pin), device_->Device());
  EXPECT_EQ(KsPinGetParentFilter(pin), filter_);

  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << "one instance possible";
  EXPECT_EQ(device_->ClosePin(pin), STATUS_SUCCESS);
  EXPECT_EQ(fake_.bagFrees.load(), 2) << "the pin's bag is emptied at close";
  PKSPIN again = device_->CreatePin(filter_, 0, &format, sizeof(format), &status);
  ASSERT_NE(again, nullptr) << "free again after close";
  EXPECT_EQ(device_->ClosePin(again), STATUS_SUCCESS);
  EXPECT_EQ(device_->ClosePin(again), STATUS_INVALID_HANDLE) << "closed twice";
}

TEST_F(KsPin, MalformedCreateRequestsGetStatusesAndReachNoMinidriver) {
  TestFormat format = GoodFormat();
  NTSTATUS status;
  EXPECT_EQ(device_->CreatePin(filter_, 1, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "pin id past the descriptors";
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(KSDATAFORMAT) - 1, &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "buffer shorter than a KSDATAFORMAT";
  EXPECT_EQ(device_->CreatePin(filter_, 0, nullptr, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  format.header.FormatSize = sizeof(format) + 1;
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "FormatSize one byte past the buffer";
  format.header.FormatSize = sizeof(KSDATAFORMAT) - 1;
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "FormatSize below the header";
  format = GoodFormat();
  format.header.MajorFormat = kOther;
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  format = GoodFormat();
  format.header.Specifier = KSDATAFORMAT_TYPE_WILDCARD;
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH) << "a connection format names its specifier";
  EXPECT_TRUE(fake_.Calls().empty());

  format = GoodFormat();
  host::FailAllocationsWithTag("SKpn");
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  host::ClearPoolFaults();
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(fake_.Calls().empty());

  device_->CloseFilter(filter_);
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_HANDLE) << "a closed filter";
}

TEST_F(KsPin, AFailingFormatOrCreateUndoesThePinWithoutClose) {
  TestFormat format = GoodFormat();
  NTSTATUS status;
  fake_.setFormatResult = STATUS_NO_MATCH;
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_MATCH);
  EXPECT_EQ(fake_.Calls(), (std::vector<std::string>{"format(new)"})) << "no Create after a refused format";
  EXPECT_EQ(fake_.bagFrees.load(), 1);

  fake_.setFormatResult = STATUS_SUCCESS;
  fake_.createResult = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(device_->CreatePin(filter_, 0, &format, sizeof(format), &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(fake_.bagFrees.load(), 3) << "both items of the failed pin freed";
  EXPECT_FALSE(fake_.closed.load()) << "Close is not called when Create failed";
  EXPECT_EQ(device_->OpenPins(), 0u);
  fake_.createResult = STATUS_SUCCESS;
  EXPECT_NE(Create(), nullptr) << "the instance was given back";
}

TEST_F(KsPin, AFormatChangeSeesTheOldFormatAndAFailureKeepsIt) {
  PKSPIN pin = Create();
  PKSDATAFORMAT first = pin->ConnectionFormat;
  TestFormat changed = GoodFormat();
  changed.payload[0] = 99;
  fake_.setFormatResult = STATUS_INVALID_DEVICE_STATE;
  EXPECT_EQ(device_->SetPinFormat(pin, &changed, sizeof(changed)), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pin->ConnectionFormat, first);
  EXPECT_EQ(reinterpret_cast<TestFormat*>(pin->ConnectionFormat)->payload[0], 0);
  fake_.setFormatResult = STATUS_SUCCESS;
  EXPECT_EQ(device_->SetPinFormat(pin, &changed, sizeof(changed)), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<TestFormat*>(pin->ConnectionFormat)->payload[0], 99);
  EXPECT_EQ(fake_.Calls().back(), "format(change)");
  changed.header.SubFormat = kOther;
  EXPECT_EQ(device_->SetPinFormat(pin, &changed, sizeof(changed)), STATUS_NO_MATCH);
  EXPECT_EQ(device_->SetPinFormat(pin, &changed, 8), STATUS_INVALID_PARAMETER);
}

TEST_F(KsPin, StatesAreSteppedOneNeighbourAtATimeAndAFailedStepStopsTheWalk) {
  PKSPIN pin = Create();
  EXPECT_EQ(device_->SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(pin->DeviceState, KSSTATE_RUN);
  EXPECT_EQ(device_->SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  std::vector<std::string> expected = {"format(new)", "create(with format)", "state 0->1", "state 1->2",
                                       "state 2->3",  "state 3->2",          "state 2->1", "state 1->0"};
  EXPECT_EQ(fake_.Calls(), expected);

  fake_.failStepTo = KSSTATE_PAUSE;
  EXPECT_EQ(device_->SetPinState(pin, KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pin->DeviceState, KSSTATE_ACQUIRE) << "the walk ends at the last state reached";
  EXPECT_EQ(device_->SetPinState(pin, KSSTATE(7)), STATUS_INVALID_PARAMETER);
  fake_.failStepTo = -1;
  EXPECT_EQ(device_->ClosePin(pin), STATUS_SUCCESS);
  EXPECT_EQ(fake_.Calls().back(), "close(stopped)") << "closing walks the pin down to STOP first";
}

TEST_F(KsPin, ACallbackLongerThanTheBoundIsRecorded) {
  PKSPIN pin = Create();
  host::CallbackTiming before = device_->PinCallbackTiming();
  EXPECT_EQ(before.slowCalls, 0u);
  fake_.slowStepMs = 520;
  EXPECT_EQ(device_->SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  fake_.slowStepMs = 0;
  host::CallbackTiming after = device_->PinCallbackTiming();
  EXPECT_EQ(after.calls, before.calls + 1);
  EXPECT_EQ(after.slowCalls, 1u);
  EXPECT_GE(after.longestNs, 500'000'000u);
}

TEST_F(KsPin, FramesReachTheClientThroughTheLeadingEdge) {
  PKSPIN pin = Running();
  Returns returns;
  std::vector<std::vector<UCHAR>> buffers(3, std::vector<UCHAR>(32, 0xEE));
  for (auto& buffer : buffers)
    ASSERT_EQ(device_->QueueFrame(pin, buffer.data(), 24, returns.Routine(), &buffer), STATUS_PENDING);
  ASSERT_TRUE(returns.WaitFor(1));
  // Process returns STATUS_PENDING: it is called again only when asked.
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(returns.Count(), fake_.processCalls.load());
  while (returns.Count() < 3) {
    KsPinAttemptProcessing(pin, TRUE);
    std::this_thread::sleep_for(milliseconds(5));
  }
  std::lock_guard<std::mutex> guard(returns.lock);
  for (size_t i = 0; i < 3; ++i) {
    const host::FrameCompletion& frame = returns.frames[i];
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.context, &buffers[i]) << "completed in queue order";
    EXPECT_EQ(frame.header.Data, buffers[i].data());
    EXPECT_EQ(frame.header.FrameExtent, 24u);
    EXPECT_EQ(frame.header.DataUsed, 16u);
    EXPECT_EQ(frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, ULONG(KSSTREAM_HEADER_OPTIONSF_TIMEVALID));
    EXPECT_EQ(buffers[i][15], 0x5A);
    EXPECT_EQ(buffers[i][16], 0xEE) << "only DataUsed bytes come back";
  }
  EXPECT_EQ(fake_.seenExtent, 24u);
}

TEST_F(KsPin, SuccessFromProcessMeansCallAgainWhileFramesRemain) {
  PKSPIN pin = Running();
  fake_.processResult = STATUS_SUCCESS;
  Returns returns;
  std::vector<UCHAR> buffer(64 * 4);
  fake_.processSleepMs = 2;  // the frames are all queued before the first pass ends
  for (int i = 0; i < 4; ++i) ASSERT_EQ(device_->QueueFrame(pin, &buffer[i * 64], 64, returns.Routine(), nullptr), STATUS_PENDING);
  ASSERT_TRUE(returns.WaitFor(4));
  EXPECT_EQ(fake_.processCalls.load(), 4);
}

TEST_F(KsPin, ProcessRunsOnlyInRunAndRemembersEarlierAttempts) {
  PKSPIN pin = Create();
  Returns returns;
  std::vector<UCHAR> buffer(64);
  EXPECT_EQ(device_->QueueFrame(pin, buffer.data(), 64, returns.Routine(), nullptr), STATUS_INVALID_DEVICE_STATE)
      << "no frames in STOP";
  ASSERT_EQ(device_->SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  ASSERT_EQ(device_->QueueFrame(pin, buffer.data(), 64, returns.Routine(), nullptr), STATUS_PENDING);
  KsPinAttemptProcessing(pin, TRUE);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(fake_.processCalls.load(), 0) << "no Process in PAUSE";
  ASSERT_EQ(device_->SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(returns.WaitFor(1)) << "the attempt made in PAUSE runs in RUN";
  EXPECT_FALSE(fake_.processOutsideRun.load());
}

TEST_F(KsPin, StoppingCancelsQueuedFramesBackToTheClient) {
  PKSPIN pin = Running();
  fake_.eject = false;  // Process leaves the frames queued
  Returns returns;
  std::vector<UCHAR> buffer(128, 0xEE);
  ASSERT_EQ(device_->QueueFrame(pin, buffer.data(), 64, returns.Routine(), nullptr), STATUS_PENDING);
  ASSERT_EQ(device_->QueueFrame(pin, buffer.data() + 64, 64, returns.Routine(), nullptr), STATUS_PENDING);
  while (fake_.processCalls.load() == 0) std::this_thread::yield();
  ASSERT_EQ(device_->SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(returns.Count(), 0u) << "PAUSE keeps the queue";
  ASSERT_EQ(device_->SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(returns.Count(), 2u) << "every frame is back when STOP is reached";
  for (const host::FrameCompletion& frame : returns.frames) {
    EXPECT_EQ(frame.status, STATUS_CANCELLED);
    EXPECT_EQ(frame.header.DataUsed, 0u);
  }
  EXPECT_EQ(buffer[0], 0xEE) << "a cancelled frame's buffer is untouched";
}

TEST_F(KsPin, ProcessIsNeverConcurrentNorOutsideRunNorAfterClose) {
  PKSPIN pin = Running();
  fake_.processResult = STATUS_SUCCESS;
  fake_.lockMutexInStateChange = true;
  std::atomic<bool> stop{false};
  std::vector<UCHAR> buffer(64 * 1024);
  std::atomic<int> returned{0};
  auto count = [&](const host::FrameCompletion&) { ++returned; };
  std::thread attempts([&] {
    while (!stop) KsPinAttemptProcessing(pin, TRUE);
  });
  std::thread queuer([&] {
    for (int i = 0; !stop; i = (i + 1) % 1024) {
      NTSTATUS status = device_->QueueFrame(pin, &buffer[i * 64], 64, count, nullptr);
      if (status != STATUS_PENDING) EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
      std::this_thread::yield();
    }
  });
  for (int cycle = 0; cycle < 30; ++cycle) {
    ASSERT_EQ(device_->SetPinState(pin, cycle % 2 ? KSSTATE_RUN : KSSTATE_ACQUIRE), STATUS_SUCCESS);
    std::this_thread::sleep_for(milliseconds(2));
  }
  stop = true;
  attempts.join();
  queuer.join();
  KsPinAttemptProcessing(pin, TRUE);  // still pending when the pin closes
  EXPECT_EQ(device_->ClosePin(pin), STATUS_SUCCESS);
  EXPECT_GT(fake_.processCalls.load(), 0);
  EXPECT_EQ(fake_.maxInProcess.load(), 1);
  EXPECT_FALSE(fake_.processOutsideRun.load());
  EXPECT_FALSE(fake_.processAfterClose.load());
  EXPECT_FALSE(fake_.mutexHeldDuringProcess.load()) << "the processing mutex excludes Process";
}

TEST_F(KsPin, ClosingTheFilterClosesItsPinsAndProcessingThreadsAreAccounted) {
  size_t workersBefore = host::LiveThreads(host::ThreadRole::Processing);
  PKSPIN pin = Running();
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::Processing), workersBefore + 1);
  (void)pin;
  EXPECT_EQ(device_->CloseFilter(filter_), STATUS_SUCCESS);
  EXPECT_TRUE(fake_.closed.load());
  EXPECT_EQ(fake_.Calls().back(), "close(stopped)");
  EXPECT_EQ(device_->OpenPins(), 0u);
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::Processing), workersBefore);
}

TEST_F(KsPin, TheReferenceClockIsTheClientsChoiceAndCounted) {
  PKSPIN pin = Create();
  PIKSREFERENCECLOCK clock = reinterpret_cast<PIKSREFERENCECLOCK>(1);
  EXPECT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(clock, nullptr);
  ASSERT_EQ(device_->SetPinClock(pin, true), STATUS_SUCCESS);
  ASSERT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
  LONGLONG first = clock->GetTime();
  std::this_thread::sleep_for(milliseconds(2));
  LONGLONG second = clock->GetTime();
  EXPECT_GE(second - first, 20000) << "100-nanosecond units";
  LONGLONG system = 0;
  EXPECT_GE(clock->GetCorrelatedTime(&system), second);
  EXPECT_NE(system, 0);
  KSRESOLUTION resolution;
  EXPECT_EQ(clock->GetResolution(&resolution), STATUS_SUCCESS);
  EXPECT_EQ(clock->AddRef(), 2u);
  EXPECT_EQ(clock->Release(), 1u);
  fake_.clock = clock;  // released by the fake at STOP
  ASSERT_EQ(device_->SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(device_->SetPinClock(pin, false), STATUS_INVALID_DEVICE_STATE) << "the clock changes only in STOP";
}

TEST_F(KsPin, DataRangesComeFromTheFiltersOwnDescriptorEightByteAligned) {
  ULONG information = 0;
  EXPECT_EQ(device_->PinDataRanges(filter_, 0, nullptr, 0, &information), STATUS_BUFFER_OVERFLOW);
  ULONG expected = sizeof(KSMULTIPLE_ITEM) + 72 + 64;  // the odd range padded from 69 to 72
  EXPECT_EQ(information, expected);
  std::vector<UCHAR> buffer(expected + 8, 0xCC);
  EXPECT_EQ(device_->PinDataRanges(filter_, 0, buffer.data(), expected - 1, &information), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(device_->PinDataRanges(filter_, 1, buffer.data(), expected, &information), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(device_->PinDataRanges(filter_, 0, buffer.data(), expected, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, expected);
  KSMULTIPLE_ITEM header;
  memcpy(&header, buffer.data(), sizeof(header));
  EXPECT_EQ(header.Size, expected);
  EXPECT_EQ(header.Count, 2u);
  EXPECT_EQ(memcmp(buffer.data() + 8, &kOddRange, 69), 0);
  EXPECT_EQ(buffer[8 + 69], 0) << "padding is zeroed";
  EXPECT_EQ(memcmp(buffer.data() + 8 + 72, &kRange, 64), 0);
  EXPECT_EQ(buffer[expected], 0xCC) << "nothing written past the answer";

  // A filter that made its descriptor private answers with its own copy.
  PVOID descriptor = const_cast<KSFILTER_DESCRIPTOR*>(filter_->Descriptor);
  ASSERT_EQ(_KsEdit(filter_->Bag, &descriptor, sizeof(KSFILTER_DESCRIPTOR), sizeof(KSFILTER_DESCRIPTOR), 0x74736554),
            STATUS_SUCCESS);
  static KSPIN_DESCRIPTOR_EX privatePins[1];
  privatePins[0] = kPins[0];
  privatePins[0].PinDescriptor.DataRangesCount = 1;
  privatePins[0].PinDescriptor.DataRanges = &kRanges[1];
  static_cast<KSFILTER_DESCRIPTOR*>(descriptor)->PinDescriptors = privatePins;
  filter_->Descriptor = static_cast<KSFILTER_DESCRIPTOR*>(descriptor);
  EXPECT_EQ(device_->PinDataRanges(filter_, 0, nullptr, 0, &information), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(information, sizeof(KSMULTIPLE_ITEM) + 64);
  device_->CloseFilter(filter_);
  EXPECT_EQ(device_->PinDataRanges(filter_, 0, nullptr, 0, &information), STATUS_INVALID_HANDLE);
}

TEST_F(KsPin, MalformedClientRequestsOnPinsGetStatuses) {
  PKSPIN pin = Running();
  std::vector<UCHAR> buffer(64);
  EXPECT_EQ(device_->QueueFrame(pin, nullptr, 64, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device_->QueueFrame(pin, buffer.data(), 0, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  host::FailAllocationsWithTag("SKfr");
  EXPECT_EQ(device_->QueueFrame(pin, buffer.data(), 64, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  KSPIN stranger{};
  EXPECT_EQ(device_->QueueFrame(&stranger, buffer.data(), 64, nullptr, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(device_->SetPinState(&stranger, KSSTATE_RUN), STATUS_INVALID_HANDLE);
  EXPECT_EQ(device_->SetPinClock(&stranger, true), STATUS_INVALID_HANDLE);
  EXPECT_EQ(device_->ClosePin(&stranger), STATUS_INVALID_HANDLE);
}

// --- Driver mistakes the class driver catches ---------------------------------------

class KsPinDeathTest : public KsPin {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KsPin::SetUp();
  }
};

TEST_F(KsPinDeathTest, AWritePastFrameExtentFaultsNamingThePin) {
  PKSPIN pin = Running();
  std::vector<UCHAR> buffer(64);
  fake_.fillBytes = 24;  // DataUsed fits, but the fill runs 4 bytes past FrameExtent 20
  EXPECT_DEATH(
      {
        device_->QueueFrame(pin, buffer.data(), 20, nullptr, nullptr);
        std::this_thread::sleep_for(milliseconds(2000));
      },
      "pin 0 .*FrameExtent");
}

NTSTATUS NTAPI OverrunProcess(PKSPIN pin) {
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == nullptr) return STATUS_PENDING;
  pointer->OffsetOut.Data[pointer->OffsetOut.Remaining] = 1;  // one byte past the frame
  pointer->StreamHeader->DataUsed = pointer->StreamHeader->FrameExtent;
  KsStreamPointerUnlock(pointer, TRUE);
  return STATUS_PENDING;
}

NTSTATUS NTAPI TooMuchUsedProcess(PKSPIN pin) {
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == nullptr) return STATUS_PENDING;
  pointer->StreamHeader->DataUsed = pointer->StreamHeader->FrameExtent + 1;
  KsStreamPointerUnlock(pointer, TRUE);
  return STATUS_PENDING;
}

NTSTATUS NTAPI UnlockTwiceProcess(PKSPIN pin) {
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == nullptr) return STATUS_PENDING;
  KsStreamPointerUnlock(pointer, TRUE);
  KsStreamPointerUnlock(pointer, TRUE);
  return STATUS_PENDING;
}

// Hands the frame back failed, as a minidriver does when no picture will come.
NTSTATUS NTAPI FailingProcess(PKSPIN pin) {
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == nullptr) return STATUS_PENDING;
  pointer->StreamHeader->DataUsed = 8;
  pointer->OffsetOut.Data[0] = 0x11;
  KsStreamPointerSetStatusCode(pointer, STATUS_DEVICE_NOT_CONNECTED);
  KsStreamPointerUnlock(pointer, TRUE);
  return STATUS_PENDING;
}

NTSTATUS NTAPI StatusAfterEjectProcess(PKSPIN pin) {
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == nullptr) return STATUS_PENDING;
  KsStreamPointerUnlock(pointer, TRUE);
  KsStreamPointerSetStatusCode(pointer, STATUS_DEVICE_NOT_CONNECTED);
  return STATUS_PENDING;
}

NTSTATUS NTAPI KeepLockedProcess(PKSPIN pin) {
  KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  return STATUS_PENDING;
}

NTSTATUS NTAPI ProcessAtDispatch(PKSPIN) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return STATUS_PENDING;
}

// Runs one frame through a pin whose Process is the given mistake.
void RunWithProcess(host::KsDeviceHost& device, PKSPIN pin, PFNKSPIN process) {
  static KSPIN_DISPATCH dispatch;
  dispatch = kPinDispatch;
  dispatch.Process = process;
  static KSPIN_DESCRIPTOR_EX descriptor;
  descriptor = kPins[0];
  descriptor.Dispatch = &dispatch;
  pin->Descriptor = &descriptor;
  static UCHAR buffer[64];
  device.QueueFrame(pin, buffer, 64, nullptr, nullptr);
  std::this_thread::sleep_for(milliseconds(2000));
}

TEST_F(KsPinDeathTest, StreamPointerMistakesFault) {
  PKSPIN pin = Running();
  EXPECT_DEATH(RunWithProcess(*device_, pin, OverrunProcess), "pin 0 .*FrameExtent");
  EXPECT_DEATH(RunWithProcess(*device_, pin, TooMuchUsedProcess), "DataUsed larger");
  EXPECT_DEATH(RunWithProcess(*device_, pin, UnlockTwiceProcess), "not locked");
  EXPECT_DEATH(RunWithProcess(*device_, pin, StatusAfterEjectProcess), "not locked");
  EXPECT_DEATH(RunWithProcess(*device_, pin, ProcessAtDispatch), "raised IRQL");
  EXPECT_DEATH(
      {
        RunWithProcess(*device_, pin, KeepLockedProcess);
        device_->SetPinState(pin, KSSTATE_STOP);
      },
      "still locked");
}

TEST_F(KsPinDeathTest, ClassDriverCallsOnAClosedPinAndLeakedClocksFault) {
  PKSPIN pin = Create();
  EXPECT_DEATH(
      {
        device_->SetPinClock(pin, true);
        PIKSREFERENCECLOCK clock;
        KsPinGetReferenceClockInterface(pin, &clock);
        device_->ClosePin(pin);
      },
      "reference clock");
  EXPECT_DEATH(
      {
        PIKSREFERENCECLOCK clock;
        device_->SetPinClock(pin, true);
        KsPinGetReferenceClockInterface(pin, &clock);
        clock->Release();
        clock->Release();
      },
      "released more often");
  device_->ClosePin(pin);
  EXPECT_DEATH(KsPinAttemptProcessing(pin, TRUE), "not open");
  EXPECT_DEATH(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), "not open");
}

// A frame ejected with a failure status reaches the client with that status
// and none of the minidriver's bytes.
TEST_F(KsPin, AFrameEjectedWithAStatusCodeComesBackFailedAndEmpty) {
  PKSPIN pin = Running();
  static KSPIN_DISPATCH dispatch;
  dispatch = kPinDispatch;
  dispatch.Process = FailingProcess;
  static KSPIN_DESCRIPTOR_EX descriptor;
  descriptor = kPins[0];
  descriptor.Dispatch = &dispatch;
  pin->Descriptor = &descriptor;
  Returns returns;
  std::vector<UCHAR> buffer(32, 0xEE);
  ASSERT_EQ(device_->QueueFrame(pin, buffer.data(), 24, returns.Routine(), &buffer), STATUS_PENDING);
  ASSERT_TRUE(returns.WaitFor(1));
  std::lock_guard<std::mutex> guard(returns.lock);
  EXPECT_EQ(returns.frames[0].status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(returns.frames[0].header.DataUsed, 0u);
  EXPECT_EQ(buffer[0], 0xEE) << "a failed frame carries no data back";
}

TEST_F(KsPinDeathTest, ReadingPastTheConnectionFormatFaults) {
  fake_.overReadFormat = true;
  EXPECT_DEATH(Create(), "");
}

}  // namespace
