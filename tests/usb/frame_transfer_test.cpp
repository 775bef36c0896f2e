// One raw frame read in 64 KiB bulk requests from the simulated camera: how
// the buffer is cut, the command bracket around the queuing, the bytes that
// arrive, and what happens when chunks fail, the camera stays silent, the read
// is cancelled from another thread, a submission or an allocation fails, or
// the camera is unplugged in the middle of a frame.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "platform/host_pool.h"
#include "support/exchange_helpers.h"
#include "tools/client/camera_system.h"
#include "usb/command_packets.h"
#include "usb/frame_transfer.h"

namespace {

using kscam::CameraSystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kCommandEndpointAddress = 0x01;
constexpr uint8_t kFrameEndpointAddress = 0x82;
constexpr ULONG kFullFrameBytes = 6114304;  // 2560 x 1920, chip 0x1800, lead-in 608
const char* const kTransferTags[] = {"Vdrv", "Vwrk", "!Irp", "!Mdl"};

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A raw frame buffer in non-paged pool, as the capture pin allocates it,
// filled with a pattern that no camera byte is compared against by accident.
class RawBuffer {
 public:
  explicit RawBuffer(ULONG size) : size_(size) {
    data_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kTagFrames));
    Fill(0xE7);
  }
  ~RawBuffer() {
    if (data_ != nullptr) ExFreePoolWithTag(data_, kTagFrames);
  }
  RawBuffer(const RawBuffer&) = delete;
  RawBuffer& operator=(const RawBuffer&) = delete;
  void Fill(uint8_t value) {
    if (data_ != nullptr) memset(data_, value, size_);
  }
  PUCHAR data() const { return data_; }
  ULONG size() const { return size_; }
  std::vector<uint8_t> Bytes(size_t from, size_t to) const { return {data_ + from, data_ + to}; }

 private:
  PUCHAR data_ = nullptr;
  ULONG size_;
};

// Live allocations by tag, for the tags a frame read allocates with.
std::map<std::string, uint64_t> LiveByTag() {
  std::map<std::string, uint64_t> live;
  for (const char* tag : kTransferTags) live[tag] = host::PoolUsage(tag).liveAllocations;
  return live;
}

std::map<std::string, uint64_t> TotalsByTag() {
  std::map<std::string, uint64_t> totals;
  for (const char* tag : kTransferTags) totals[tag] = host::PoolUsage(tag).totalAllocations;
  return totals;
}

// Window geometry, then the settings that derive frameBytes and send it to
// the camera. Returns frameBytes.
ULONG UseWindow(DeviceContext* ctx, LONG width, LONG height) {
  SetGeometry(ctx, 0, 0, width, height, 0);
  static_cast<CameraObject*>(ctx)->ApplySettings();
  return ctx->frameBytes;
}

// Tells the camera the frame size directly (command 0x09), for sizes that
// the settings never produce because they round to whole kilobytes.
bool SetCameraFrameSize(DeviceContext* ctx, ULONG bytes) {
  UCHAR packet[kPacketBytes];
  PreparePacket(packet, kCommandFrameSize);
  for (int i = 0; i < 4; ++i) packet[1 + i] = UCHAR(bytes >> (8 * i));
  return SendCommand(ctx, packet);
}

std::vector<uint32_t> FrameTransferLengths(const std::vector<host::UsbLogEntry>& log) {
  std::vector<uint32_t> lengths;
  for (const auto& entry : log)
    if (entry.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && entry.endpointAddress == kFrameEndpointAddress)
      lengths.push_back(entry.length);
  return lengths;
}

// The frame read's traffic as letters, in the order the bus saw it: h halt,
// g go, c chunk request, a frame pipe abort, r frame pipe reset, s port
// status, p port reset.
std::string Traffic(const std::vector<host::UsbLogEntry>& log) {
  std::string seen;
  for (const auto& entry : log) {
    if (entry.ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
      seen += 's';
    } else if (entry.ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
      seen += 'p';
    } else if (entry.urbFunction == URB_FUNCTION_RESET_PIPE && entry.endpointAddress == kFrameEndpointAddress) {
      seen += 'r';
    } else if (entry.urbFunction == URB_FUNCTION_ABORT_PIPE && entry.endpointAddress == kFrameEndpointAddress) {
      seen += 'a';
    } else if (entry.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
               entry.endpointAddress == kFrameEndpointAddress) {
      seen += 'c';
    } else if (entry.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
               entry.endpointAddress == kCommandEndpointAddress && !entry.data.empty()) {
      seen += entry.data[0] == kCommandFrameHalt ? 'h' : entry.data[0] == kCommandFrameGo ? 'g' : '?';
    }
  }
  return seen;
}

// The frame's state in the transport record, read under its lock.
struct FrameState {
  ChunkRecord* records;
  PMDL frameMdl;
  ULONG outstanding;
  ULONG walkers;
};

FrameState ReadFrameState(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  FrameState state{usb->chunkRecords, usb->frameMdl, usb->chunksOutstanding, usb->cancelWalkers};
  KeReleaseSpinLock(&usb->chunkLock, irql);
  return state;
}

// Polls a condition for at most `limit`; true when it became true.
bool WaitUntil(const std::function<bool()>& condition, milliseconds limit = milliseconds(5000)) {
  auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

class FrameTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ClearPoolFaults();
    baseline_ = LiveByTag();
    system_ = std::make_unique<CameraSystem>(Options());
    ASSERT_EQ(system_->BringUp(), STATUS_SUCCESS);
    ctx_ = system_->Context();
  }
  void TearDown() override {
    host::ClearPoolFaults();
    InterlockedExchange(&transferTimeoutMs, 3000);
    system_.reset();
    EXPECT_EQ(LiveByTag(), baseline_) << "allocations outlived the device";
  }
  virtual sim::CameraOptions Options() { return sim::CameraOptions(); }

  sim::SimulatedCamera& Camera() { return *system_->Camera(); }
  host::UsbBus& Bus() { return system_->Bus(); }
  CameraObject* Object() { return static_cast<CameraObject*>(ctx_); }

  // A frame read that returned leaves nothing behind: no request at the bus,
  // no per-frame record, nothing allocated beyond what was there before.
  void ExpectFrameReleased(const std::map<std::string, uint64_t>& before) {
    EXPECT_EQ(Bus().PendingInTransfers(), 0u);
    FrameState state = ReadFrameState(&ctx_->usb);
    EXPECT_EQ(state.records, nullptr);
    EXPECT_EQ(state.frameMdl, nullptr);
    EXPECT_EQ(state.outstanding, 0u);
    EXPECT_EQ(state.walkers, 0u);
    EXPECT_EQ(LiveByTag(), before) << "the frame read leaked";
  }

  // Reads a frame with no fault armed and checks it against the camera.
  void ExpectCleanFrame(const RawBuffer& buffer) {
    std::vector<uint8_t> expected = Camera().RenderFrame();
    ASSERT_EQ(expected.size(), buffer.size());
    BOOLEAN good = FALSE;
    EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), STATUS_SUCCESS);
    EXPECT_TRUE(good);
    EXPECT_TRUE(buffer.Bytes(0, buffer.size()) == expected) << "frame differs from what the camera sent";
  }

  std::unique_ptr<CameraSystem> system_;
  DeviceContext* ctx_ = nullptr;
  std::map<std::string, uint64_t> baseline_;
};

// --- How the buffer is cut into requests --------------------------------------

TEST_F(FrameTransfer, ChunkCountsAndSizesFollowTheBufferSize) {
  // 32 x 98: 98 rows of 656 bytes after a 608-byte lead-in, rounded up to
  // exactly 64 KiB.
  ULONG exact = UseWindow(ctx_, 32, 98);
  ASSERT_EQ(exact, 65536u);
  {
    RawBuffer buffer(exact);
    Bus().ClearLog();
    ExpectCleanFrame(buffer);
    EXPECT_EQ(FrameTransferLengths(Bus().Log()), std::vector<uint32_t>({65536}));
  }

  // One byte more than a chunk: a second request of one byte. The camera is
  // told this size directly; the frame ends with a one-byte short packet.
  ASSERT_TRUE(SetCameraFrameSize(ctx_, 65537));
  ASSERT_EQ(Camera().FrameSize(), 65537u);
  {
    RawBuffer buffer(65537);
    std::vector<uint8_t> expected = Camera().RenderFrame();
    Bus().ClearLog();
    EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), buffer.size()), STATUS_SUCCESS);
    EXPECT_EQ(FrameTransferLengths(Bus().Log()), std::vector<uint32_t>({65536, 1}));
    EXPECT_TRUE(buffer.Bytes(0, buffer.size()) == expected);
  }

  // The full sensor on the 0x1800 chip: 93 whole chunks and 19456 bytes.
  ULONG full = UseWindow(ctx_, 2560, 1920);
  ASSERT_EQ(ctx_->lineOffset, 608u);
  ASSERT_EQ(full, kFullFrameBytes);
  {
    RawBuffer buffer(full);
    Bus().ClearLog();
    ExpectCleanFrame(buffer);
    std::vector<uint32_t> lengths = FrameTransferLengths(Bus().Log());
    ASSERT_EQ(lengths.size(), 94u);
    for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], 65536u) << "chunk " << i;
    EXPECT_EQ(lengths.back(), 19456u);
  }
}

// --- The command bracket ------------------------------------------------------

TEST_F(FrameTransfer, HaltHaltChunksGoOnTheCommandPipe) {
  ULONG size = UseWindow(ctx_, 256, 200);  // three chunks
  ASSERT_EQ(ChunkCountFor(size), 3u);
  RawBuffer buffer(size);
  Bus().ClearLog();
  ExpectCleanFrame(buffer);

  // Everything on the command and frame endpoints, in the order the bus saw it.
  std::string order;
  for (const auto& entry : Bus().Log()) {
    if (entry.urbFunction != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) continue;
    if (entry.endpointAddress == kFrameEndpointAddress) {
      order += 'c';
    } else if (entry.endpointAddress == kCommandEndpointAddress) {
      ASSERT_EQ(entry.data.size(), 64u);
      for (size_t i = 1; i < entry.data.size(); ++i) EXPECT_EQ(entry.data[i], 0) << "byte " << i;
      order += entry.data[0] == kCommandFrameHalt ? 'h' : entry.data[0] == kCommandFrameGo ? 'g' : '?';
    }
  }
  EXPECT_EQ(order, "hhcccg") << "h: halt 0x02, c: chunk request, g: go 0x03";
}

// A read cut short leaves the camera sending the rest of its frame. If the
// halt that should end it is refused (the command pipe stalled), chunks
// queued anyway would take that frame's tail and the next frame's head and
// report the torn result as a success; the read must be given up instead,
// with nothing queued, and the next read, halted again, must be whole.
TEST_F(FrameTransfer, ARefusedHaltQueuesNoChunksAndTheNextFrameIsWhole) {
  ULONG size = UseWindow(ctx_, 256, 200);  // three chunks
  RawBuffer buffer(size);
  ASSERT_EQ(ReadFrameChunked(ctx_, buffer.data(), 65536), STATUS_SUCCESS) << "the first chunk's worth only";
  uint64_t sentBefore = Camera().FramesSent();
  sim::CameraFaults faults;
  faults.stallCommandPipe = true;
  Camera().SetFaults(faults);
  auto before = LiveByTag();
  Bus().ClearLog();
  NTSTATUS status = ReadFrameChunked(ctx_, buffer.data(), size);
  EXPECT_FALSE(NT_SUCCESS(status)) << "a read without its halt reported " << std::hex << status;
  EXPECT_EQ(Traffic(Bus().Log()).find('c'), std::string::npos) << "chunks queued without a halt: "
                                                                << Traffic(Bus().Log());
  EXPECT_EQ(Camera().FramesSent(), sentBefore);
  ExpectFrameReleased(before);
  ExpectCleanFrame(buffer);
}

TEST_F(FrameTransfer, FramesMatchWhatTheCameraSentForEachSceneAndGeometry) {
  struct Case {
    const char* scene;
    LONG x, y, width, height, mode;
  };
  const Case cases[] = {
      {"bars", 0, 0, 2560, 1920, 0}, {"chart", 0, 0, 2560, 1920, 0}, {"chart", 101, 57, 640, 480, 0},
      {"chart", 0, 0, 0, 0, 1},      {"bars", 0, 0, 0, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scene) + " window " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                 " mode " + std::to_string(c.mode));
    Camera().SetScene(c.scene);
    SetGeometry(ctx_, c.x, c.y, c.width, c.height, c.mode);
    Object()->ApplySettings();
    RawBuffer buffer(ctx_->frameBytes);
    ExpectCleanFrame(buffer);
    // Two frames in a row are the same frame: nothing is left over between them.
    buffer.Fill(0);
    ExpectCleanFrame(buffer);
  }
}

// --- Set-up checks ------------------------------------------------------------

TEST_F(FrameTransfer, TransferThatCannotBeSetUpFailsAtOnceAndSendsNothing) {
  ULONG size = UseWindow(ctx_, 64, 64);
  RawBuffer buffer(size);
  PUSBD_INTERFACE_INFORMATION configured = ctx_->usb.interfaceInfo;
  USBD_PIPE_INFORMATION& framePipe = configured->Pipes[kFramePipe];
  const USBD_PIPE_INFORMATION savedPipe = framePipe;
  const ULONG savedPipes = configured->NumberOfPipes;
  auto before = LiveByTag();
  Bus().ClearLog();

  ctx_->usb.interfaceInfo = nullptr;
  EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), size), STATUS_UNSUCCESSFUL);
  ctx_->usb.interfaceInfo = configured;

  configured->NumberOfPipes = 2;
  EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), size), STATUS_INVALID_PARAMETER);
  configured->NumberOfPipes = savedPipes;

  framePipe.PipeType = UsbdPipeTypeControl;
  EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), size), STATUS_INVALID_PARAMETER);
  framePipe.PipeType = UsbdPipeTypeIsochronous;
  EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), size), STATUS_INVALID_PARAMETER);
  framePipe = savedPipe;

  framePipe.PipeHandle = nullptr;
  EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), size), STATUS_UNSUCCESSFUL);
  framePipe = savedPipe;

  // A frame of no bytes would wait for completions that never come.
  EXPECT_EQ(ReadFrameChunked(ctx_, buffer.data(), 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadFrameChunked(ctx_, nullptr, size), STATUS_INVALID_PARAMETER);

  EXPECT_TRUE(Bus().Log().empty()) << "a transfer that was not set up sent something";
  ExpectFrameReleased(before);
  ExpectCleanFrame(buffer);
}

TEST_F(FrameTransfer, TransferControlWithoutACommandPipeSendsNothing) {
  USBD_PIPE_INFORMATION& commandPipe = ctx_->usb.interfaceInfo->Pipes[kCommandPipe];
  USBD_PIPE_HANDLE handle = commandPipe.PipeHandle;
  Bus().ClearLog();
  commandPipe.PipeHandle = nullptr;
  SendTransferControl(ctx_, true);
  commandPipe.PipeHandle = handle;
  EXPECT_TRUE(Bus().Log().empty());

  Camera().ClearCommands();
  SendTransferControl(ctx_, false);
  SendTransferControl(ctx_, true);
  SendTransferControl(ctx_, false);
  auto commands = Camera().Commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0][0], kCommandFrameHalt);
  EXPECT_EQ(commands[1][0], kCommandFrameGo);
  EXPECT_EQ(commands[2][0], kCommandFrameHalt);
}

// --- Chunks that fail ---------------------------------------------------------

// A chunk that fails on the wire halts the frame endpoint: the frame is not
// good, its other requests are cancelled, and the pipe is aborted and reset
// before the read returns, so the next frame arrives whole. A short chunk is
// no error: the frame is good and the rest of that chunk is left as it was.
TEST_F(FrameTransfer, FailedChunkSpoilsTheFrameAndThePipeIsResetShortChunksDoNot) {
  ULONG size = UseWindow(ctx_, 256, 300);  // five chunks, the last one partial
  ASSERT_EQ(ChunkCountFor(size), 5u);
  RawBuffer buffer(size);
  std::vector<uint8_t> expected = Camera().RenderFrame();

  struct Case {
    const char* name;
    uint64_t chunk;
    bool fail;
    uint32_t shortBytes;
  };
  const Case cases[] = {
      {"error in the first chunk", 0, true, 0},   {"error in a middle chunk", 2, true, 0},
      {"error in the last chunk", 4, true, 0},    {"short middle chunk", 1, false, 1000},
      {"empty middle chunk", 3, false, 0},        {"short last chunk", 4, false, 7},
  };
  for (bool synchronousCancellation : {false, true}) {
    Bus().SetSynchronousCancellation(synchronousCancellation);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (synchronousCancellation ? ", cancels complete inline" : ""));
      // The bus counts IN transfers from plug-in and serves a pipe's in order:
      // the first one it asks about is this frame's first chunk.
      auto first = std::make_shared<int64_t>(-1);
      Bus().SetInFault([first, c](uint8_t endpoint, uint64_t index) {
        host::UsbBus::InFault fault;
        if (endpoint != kFrameEndpointAddress) return fault;
        if (*first < 0) *first = int64_t(index);
        if (index == uint64_t(*first) + c.chunk) {
          fault.fail = c.fail;
          fault.shortTransfer = !c.fail;
          fault.shortBytes = c.shortBytes;
        }
        return fault;
      });
      auto before = LiveByTag();
      buffer.Fill(0xE7);
      Bus().ClearLog();
      BOOLEAN good = !c.fail;
      EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), c.fail ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS);
      EXPECT_EQ(good, !c.fail);
      Bus().SetInFault(nullptr);
      ExpectFrameReleased(before);
      EXPECT_EQ(Traffic(Bus().Log()), c.fail ? "hhcccccgar" : "hhcccccg");
      EXPECT_FALSE(Bus().EndpointHalted(kFrameEndpointAddress));

      // Everything before the faulty chunk arrived; the part of the faulty
      // chunk that received nothing is as it was before the read.
      size_t chunkStart = size_t(c.chunk) * kChunkBytes;
      size_t chunkEnd = std::min<size_t>(chunkStart + kChunkBytes, size);
      size_t received = c.fail ? 0 : std::min<size_t>(c.shortBytes, chunkEnd - chunkStart);
      EXPECT_TRUE(buffer.Bytes(0, chunkStart + received) ==
                  std::vector<uint8_t>(expected.begin(), expected.begin() + chunkStart + received));
      EXPECT_TRUE(buffer.Bytes(chunkStart + received, chunkEnd) ==
                  std::vector<uint8_t>(chunkEnd - chunkStart - received, 0xE7));
      // The rest of the faulty frame stays in the camera until the next halt.
      buffer.Fill(0);
      ExpectCleanFrame(buffer);
    }
  }
}

// --- Time-out and cancellation ------------------------------------------------

TEST_F(FrameTransfer, SilentCameraTimesOutWithEveryRequestCancelledAndFreed) {
  kscam_test::FrameTimeLimit limit(300);
  ULONG size = UseWindow(ctx_, 640, 480);
  RawBuffer buffer(size);
  sim::CameraFaults faults;
  faults.silent = true;
  Camera().SetFaults(faults);
  auto before = LiveByTag();

  BOOLEAN good = TRUE;
  auto start = Clock::now();
  EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), STATUS_TIMEOUT);
  double elapsed = MillisecondsSince(start);
  EXPECT_FALSE(good);
  EXPECT_GE(elapsed, 290.0) << "returned before the time limit";
  EXPECT_LT(elapsed, 5000.0) << "took far longer than the time limit";
  ExpectFrameReleased(before);
  EXPECT_EQ(buffer.Bytes(0, size), std::vector<uint8_t>(size, 0xE7));

  // The camera speaks again: the next frame is whole.
  Camera().SetFaults(sim::CameraFaults());
  ExpectCleanFrame(buffer);
}

TEST_F(FrameTransfer, CameraThatStopsMidFrameTimesOutAndKeepsWhatArrived) {
  kscam_test::FrameTimeLimit limit(300);
  ULONG size = UseWindow(ctx_, 640, 480);
  RawBuffer buffer(size);
  std::vector<uint8_t> expected = Camera().RenderFrame();
  sim::CameraFaults faults;
  faults.stopAfterBytes = 100000;
  Camera().SetFaults(faults);
  auto before = LiveByTag();
  BOOLEAN good = TRUE;
  EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), STATUS_TIMEOUT);
  EXPECT_FALSE(good);
  ExpectFrameReleased(before);
  EXPECT_TRUE(buffer.Bytes(0, 65536) == std::vector<uint8_t>(expected.begin(), expected.begin() + 65536));
  Camera().SetFaults(sim::CameraFaults());
  ExpectCleanFrame(buffer);
}

TEST_F(FrameTransfer, CancelReadReleasesAWaitingReadLongBeforeTheTimeLimit) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 2560, 1920);
  RawBuffer buffer(size);
  sim::CameraFaults faults;
  faults.silent = true;
  Camera().SetFaults(faults);
  auto before = LiveByTag();

  for (int cancellers : {1, 2}) {
    SCOPED_TRACE(std::to_string(cancellers) + " cancelling thread(s)");
    uint64_t started = Camera().FramesStarted();
    BOOLEAN good = FALSE;
    auto read = std::async(std::launch::async, [&] { return Object()->ReadFrame(buffer.data(), buffer.size(), &good); });
    // Go is sent after the last chunk request: from then on the whole frame
    // is queued at the bus.
    ASSERT_TRUE(WaitUntil([&] { return Camera().FramesStarted() > started; }));
    // The bus thread briefly takes a request off its queue whenever it asks
    // the camera for data, so wait for all of them to be back.
    ASSERT_TRUE(WaitUntil([&] { return Bus().PendingInTransfers() == 94u; }));
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < cancellers; ++i) threads.emplace_back([&] { Object()->CancelRead(); });
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "read hangs";
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(read.get(), STATUS_CANCELLED);
    EXPECT_FALSE(good);
    EXPECT_LT(MillisecondsSince(start), 1500.0) << "the cancelled read waited for the time limit";
    ExpectFrameReleased(before);
  }

  // With nothing in flight a cancel returns at once and changes nothing.
  auto start = Clock::now();
  Object()->CancelRead();
  EXPECT_LT(MillisecondsSince(start), 1000.0);
  ExpectFrameReleased(before);
  Camera().SetFaults(sim::CameraFaults());
  ExpectCleanFrame(buffer);
}

// The bus completes cancelled requests late, from its own thread: the cancel
// must still return only once the last of them has completed, so that the
// caller may free the buffer the requests wrote into.
TEST_F(FrameTransfer, CancelReturnsOnlyAfterTheLastLateCancelledRequestHasCompleted) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 2560, 1920);
  RawBuffer buffer(size);
  sim::CameraFaults faults;
  faults.silent = true;
  Camera().SetFaults(faults);
  Bus().SetCancellationDelay(200);
  auto before = LiveByTag();
  uint64_t started = Camera().FramesStarted();
  BOOLEAN good = TRUE;
  auto read = std::async(std::launch::async, [&] { return Object()->ReadFrame(buffer.data(), buffer.size(), &good); });
  ASSERT_TRUE(WaitUntil([&] { return Camera().FramesStarted() > started; }));
  ASSERT_TRUE(WaitUntil([&] { return Bus().PendingInTransfers() == 94u; }));
  CancelChunkRequests(&ctx_->usb);
  // Returned: every request has completed and the frame's records are gone.
  FrameState state = ReadFrameState(&ctx_->usb);
  EXPECT_EQ(state.records, nullptr);
  EXPECT_EQ(state.outstanding, 0u);
  EXPECT_EQ(Bus().PendingInTransfers(), 0u);
  ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(read.get(), STATUS_CANCELLED);
  EXPECT_FALSE(good);
  Bus().SetCancellationDelay(0);
  Camera().SetFaults(sim::CameraFaults());
  ExpectFrameReleased(before);
  ExpectCleanFrame(buffer);
}

// A cancel that arrives while the read is still queuing its requests stops
// the queuing at the next chunk and ends the read, instead of cancelling only
// what was queued and waiting for the rest until the time limit.
TEST_F(FrameTransfer, CancelWhileChunksAreStillBeingSubmittedEndsTheReadPromptly) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 2560, 1920);
  RawBuffer buffer(size);
  ExpectCleanFrame(buffer);  // the done event is left signalled by a finished frame
  auto before = LiveByTag();
  for (bool lateCancellation : {false, true})
    for (bool atPublication : {false, true}) {
      SCOPED_TRACE(std::string(lateCancellation ? "cancellations complete late" : "cancellations complete soon") +
                   (atPublication ? ", cancel as the records appear" : ", cancel after three requests"));
      Bus().SetCancellationDelay(lateCancellation ? 50 : 0);
      Bus().SetSubmissionDelay(5);  // the bus takes its time to accept each request
      Bus().ClearLog();
      BOOLEAN good = TRUE;
      auto read = std::async(std::launch::async, [&] { return Object()->ReadFrame(buffer.data(), buffer.size(), &good); });
      if (atPublication)
        ASSERT_TRUE(WaitUntil([&] { return ReadFrameState(&ctx_->usb).records != nullptr; }));
      else
        ASSERT_TRUE(WaitUntil([&] { return FrameTransferLengths(Bus().Log()).size() >= 3; }));
      Object()->CancelRead();
      // The cancel returns only once the frame's last request has completed,
      // never on the signal a finished frame left behind.
      EXPECT_EQ(ReadFrameState(&ctx_->usb).records, nullptr);
      ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
      EXPECT_EQ(read.get(), STATUS_CANCELLED);
      EXPECT_FALSE(good);
      EXPECT_LT(FrameTransferLengths(Bus().Log()).size(), 94u) << "the queuing went on after the cancel";
      Bus().SetSubmissionDelay(0);
      ExpectFrameReleased(before);
      ExpectCleanFrame(buffer);
    }
  Bus().SetCancellationDelay(0);
}

// A cancel that comes after the read began but before any of its requests
// exists (here: while the bus is slow to take the frame halt) still ends it,
// and nothing of the frame goes out; a cancel before a read began does not
// touch that read.
TEST_F(FrameTransfer, CancelBeforeTheRequestsExistEndsTheReadButAnEarlierCancelDoesNot) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 256, 300);
  RawBuffer buffer(size);
  sim::CameraFaults faults;
  faults.silent = true;  // a read that misses the cancel waits out the whole limit
  Camera().SetFaults(faults);
  auto before = LiveByTag();
  Bus().ClearLog();
  Bus().SetSubmissionDelay(300);
  BOOLEAN good = TRUE;
  auto start = Clock::now();
  auto read = std::async(std::launch::async, [&] { return Object()->ReadFrame(buffer.data(), buffer.size(), &good); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Object()->CancelRead();
  ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(read.get(), STATUS_CANCELLED);
  EXPECT_LT(MillisecondsSince(start), 2500.0) << "the read missed the cancel";
  EXPECT_FALSE(good);
  EXPECT_TRUE(FrameTransferLengths(Bus().Log()).empty());
  Bus().SetSubmissionDelay(0);
  ExpectFrameReleased(before);

  Camera().SetFaults(sim::CameraFaults());
  Object()->CancelRead();  // nothing in flight: the next read is not affected
  ExpectCleanFrame(buffer);
}

// --- Submissions that fail ----------------------------------------------------

class FrameTransferSubmission : public FrameTransfer {
 protected:
  // Makes the submission of one chunk of the next frame fail at the bus.
  void FailChunkSubmission(uint64_t chunk) {
    auto counter = std::make_shared<std::atomic<uint64_t>>(0);
    Bus().SetSubmitFault([counter, chunk](const URB& urb, uint8_t endpoint) {
      if (endpoint != kFrameEndpointAddress || urb.UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return false;
      return counter->fetch_add(1) == chunk;
    });
  }
};

TEST_F(FrameTransferSubmission, FailedSubmissionEndsQueuingSendsGoResetsThePipeAndTimesOut) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 256, 300);  // five chunks
  RawBuffer buffer(size);
  std::vector<uint8_t> expected = Camera().RenderFrame();

  for (uint64_t failing : {0, 2, 4}) {
    SCOPED_TRACE("submission of chunk " + std::to_string(failing) + " fails");
    auto before = LiveByTag();
    FailChunkSubmission(failing);
    Bus().ClearLog();
    buffer.Fill(0xE7);
    BOOLEAN good = TRUE;
    auto start = Clock::now();
    EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), STATUS_TIMEOUT);
    // The chunks that went out are filled by the frame that go started; the
    // ones never submitted are not waited for.
    EXPECT_LT(MillisecondsSince(start), 2500.0) << "waited for chunks that were never submitted";
    EXPECT_FALSE(good);
    Bus().SetSubmitFault(nullptr);
    // The pipe is reset only once nothing of the frame is queued any more.
    EXPECT_EQ(Traffic(Bus().Log()), "hh" + std::string(failing + 1, 'c') + "gar");
    EXPECT_EQ(Bus().PortResets(), 0u);
    ExpectFrameReleased(before);
    size_t arrived = size_t(failing) * kChunkBytes;
    EXPECT_TRUE(buffer.Bytes(0, arrived) == std::vector<uint8_t>(expected.begin(), expected.begin() + arrived));
    EXPECT_TRUE(buffer.Bytes(arrived, size) == std::vector<uint8_t>(size - arrived, 0xE7));
  }
  ExpectCleanFrame(buffer);
}

TEST_F(FrameTransferSubmission, FailedPipeResetQueriesThePortAndResetsItOnlyWhenDisabled) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 256, 300);
  RawBuffer buffer(size);
  struct Case {
    const char* name;
    ULONG portStatus;
    uint32_t resets;
  };
  const Case cases[] = {
      {"connected and enabled", USBD_PORT_CONNECTED | USBD_PORT_ENABLED, 0},
      {"connected but disabled", USBD_PORT_CONNECTED, 1},
      {"not connected", 0, 0},
  };
  Bus().SetResetPipeFails(true);
  bool retry = false;  // a pipe whose reset failed is tried again before the next frame
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = LiveByTag();
    uint32_t resets = Bus().PortResets();
    Bus().SetPortStatus(c.portStatus);
    FailChunkSubmission(1);
    Bus().ClearLog();
    BOOLEAN good = TRUE;
    EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), STATUS_TIMEOUT);
    Bus().SetSubmitFault(nullptr);
    // A port reset enables the port again: one per read at most.
    std::string recovery = std::string("ars") + (c.resets ? "p" : "");
    std::string after = std::string("ars") + (c.resets && !retry ? "p" : "");
    EXPECT_EQ(Traffic(Bus().Log()), "h" + (retry ? recovery : "") + "hccg" + after);
    EXPECT_EQ(Bus().PortResets() - resets, c.resets);
    ExpectFrameReleased(before);
    retry = true;
  }
  Bus().SetResetPipeFails(false);
  Bus().SetPortStatus(USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  ExpectCleanFrame(buffer);
}

// A driver between ours and the bus that fails chosen frame-pipe submissions
// the way a bus driver does when it cannot allocate its own transfer state:
// it completes the request with STATUS_INSUFFICIENT_RESOURCES and returns that
// status. Everything else passes through.
class FailingFilter {
 public:
  FailingFilter(PDEVICE_OBJECT below, USBD_PIPE_HANDLE framePipe, uint64_t failingChunk)
      : below_(below), framePipe_(framePipe), failingChunk_(failingChunk) {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &FailingFilter::Dispatch;
    device_.DriverObject = &driver_;
    device_.DeviceExtension = this;
    device_.StackSize = CHAR(below->StackSize + 1);
  }
  PDEVICE_OBJECT Device() { return &device_; }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<FailingFilter*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(location->Parameters.Others.Argument1);
    if (location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr &&
        urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        urb->UrbBulkOrInterruptTransfer.PipeHandle == self->framePipe_ &&
        self->frameSubmissions_++ == self->failingChunk_) {
      irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(self->below_, irp);
  }

  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
  PDEVICE_OBJECT below_;
  USBD_PIPE_HANDLE framePipe_;
  uint64_t failingChunk_;
  std::atomic<uint64_t> frameSubmissions_{0};
};

// A submission the bus completed with STATUS_INSUFFICIENT_RESOURCES went out
// and completed; it is not an allocation of ours that failed. The chunks in
// flight before it must still be waited for and freed by their completions.
TEST_F(FrameTransferSubmission, SubmissionRefusedForLackOfResourcesIsAFailedSubmission) {
  kscam_test::FrameTimeLimit limit(5000);
  ULONG size = UseWindow(ctx_, 256, 300);
  RawBuffer buffer(size);
  std::vector<uint8_t> expected = Camera().RenderFrame();
  PDEVICE_OBJECT lower = ctx_->usb.lowerDeviceObject;
  auto before = LiveByTag();
  {
    FailingFilter filter(lower, ctx_->usb.interfaceInfo->Pipes[kFramePipe].PipeHandle, 2);
    ctx_->usb.lowerDeviceObject = filter.Device();
    BOOLEAN good = TRUE;
    NTSTATUS status = Object()->ReadFrame(buffer.data(), buffer.size(), &good);
    // Whatever the status, the two chunks in flight must be done before the
    // read returns; the bus must not write into the buffer afterwards.
    size_t pending = Bus().PendingInTransfers();
    ctx_->usb.lowerDeviceObject = lower;
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_FALSE(good);
    EXPECT_EQ(pending, 0u);
  }
  ExpectFrameReleased(before);
  EXPECT_TRUE(buffer.Bytes(0, 2 * kChunkBytes) ==
              std::vector<uint8_t>(expected.begin(), expected.begin() + 2 * kChunkBytes));
  ExpectCleanFrame(buffer);
}

// --- Allocations --------------------------------------------------------------

TEST_F(FrameTransfer, EveryAllocationOfAFrameReadFailingInTurnLeavesADefinedStateAndNoLeak) {
  kscam_test::FrameTimeLimit limit(300);  // a frame whose go could not be sent ends at this limit
  ULONG size = UseWindow(ctx_, 256, 300);
  ASSERT_EQ(ChunkCountFor(size), 5u);
  RawBuffer buffer(size);
  std::map<NTSTATUS, int> outcomes;
  uint64_t points = 0;
  // Pool blocks, requests and descriptors are counted and failed apart.
  for (host::AllocationKind kind : {host::AllocationKind::Pool, host::AllocationKind::Irp, host::AllocationKind::Mdl}) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n) + " of kind " + std::to_string(int(kind)) + " fails");
      auto before = LiveByTag();
      buffer.Fill(0xE7);
      Bus().ClearLog();
      host::FailNthAllocation(n, kind);
      BOOLEAN good = TRUE;
      auto start = Clock::now();
      NTSTATUS status = Object()->ReadFrame(buffer.data(), buffer.size(), &good);
      double elapsed = MillisecondsSince(start);
      bool reached = host::AllocationAttempts(kind) >= n;
      host::ClearPoolFaults();
      std::string traffic = Traffic(Bus().Log());
      if (!reached) {
        EXPECT_EQ(status, STATUS_SUCCESS);
        break;
      }
      ++outcomes[status];
      ++points;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_INSUFFICIENT_RESOURCES)
          << std::hex << status;
      if (status != STATUS_SUCCESS) {
        EXPECT_FALSE(good);
      }
      if (status == STATUS_INSUFFICIENT_RESOURCES) {
        // Either the transfer could not be set up and sent nothing, or a
        // chunk could not be built: then the queuing ended, go still went out
        // and the frame pipe was reset.
        bool setUpFailed = traffic == "h" || traffic.empty();
        bool loopEnded = traffic.size() >= 5 && traffic.compare(0, 2, "hh") == 0 &&
                         traffic.compare(traffic.size() - 3, 3, "gar") == 0 &&
                         traffic.find_first_not_of('c', 2) == traffic.size() - 3;
        EXPECT_TRUE(setUpFailed || loopEnded) << traffic;
      }
      EXPECT_LT(elapsed, 5000.0);
      ExpectFrameReleased(before);
      ExpectCleanFrame(buffer);
      if (HasFailure()) break;
    }
  }
  // At least the records, the frame descriptor and 5 x (request, descriptor,
  // URB), each made to fail once.
  EXPECT_GE(points, 17u);
  EXPECT_GT(outcomes[STATUS_INSUFFICIENT_RESOURCES], 0);
  EXPECT_GT(outcomes[STATUS_TIMEOUT], 0);
  EXPECT_GT(outcomes[STATUS_SUCCESS], 0);
}

// Whatever a frame allocates per chunk, it frees; and it never copies the
// frame into memory of its own.
TEST_F(FrameTransfer, AFrameFreesWhatItAllocatesAndCopiesNothing) {
  for (auto [width, height] : {std::pair<LONG, LONG>{32, 98}, {640, 400}, {2560, 1920}}) {
    ULONG size = UseWindow(ctx_, width, height);
    uint64_t chunks = ChunkCountFor(size);
    SCOPED_TRACE(std::to_string(chunks) + " chunks");
    RawBuffer buffer(size);
    auto before = LiveByTag();
    host::ResetPoolTotals();
    ExpectCleanFrame(buffer);
    auto totals = TotalsByTag();
    EXPECT_GE(totals["!Irp"], chunks);
    EXPECT_GE(totals["!Mdl"], chunks + 1);
    EXPECT_EQ(totals["Vwrk"], 0u);
    ExpectFrameReleased(before);
  }
}

// --- Unplug in the middle of a frame ------------------------------------------

class FrameTransferPaced : public FrameTransfer {
 protected:
  sim::CameraOptions Options() override {
    sim::CameraOptions options;
    options.paced = true;
    return options;
  }
};

TEST_F(FrameTransferPaced, UnplugMidFrameEndsTheReadAndLeaksNothing) {
  // The host bus can leave the transfer it is filling at the moment of the
  // unplug pending instead of completing it; the read then ends at the time
  // limit, by cancelling it. Either way it must end and free everything.
  constexpr LONG kLimitMs = 1000;
  kscam_test::FrameTimeLimit limit(kLimitMs);
  for (int delayMs : {0, 30, 90}) {
    SCOPED_TRACE("unplug " + std::to_string(delayMs) + " ms after go");
    if (delayMs > 0) {  // a camera of its own for each case
      system_ = std::make_unique<CameraSystem>(Options());
      ASSERT_EQ(system_->BringUp(), STATUS_SUCCESS);
      ctx_ = system_->Context();
    }
    ULONG size = UseWindow(ctx_, 2560, 1920);  // about 150 ms at the paced rate
    RawBuffer buffer(size);
    auto before = LiveByTag();
    BOOLEAN good = FALSE;
    auto read = std::async(std::launch::async, [&] { return Object()->ReadFrame(buffer.data(), buffer.size(), &good); });
    ASSERT_TRUE(WaitUntil([&] { return Camera().FramesStarted() > 0; }));
    std::this_thread::sleep_for(milliseconds(delayMs));
    auto start = Clock::now();
    Bus().Unplug();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "read hangs after unplug";
    NTSTATUS status = read.get();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_DEVICE_DATA_ERROR)
        << std::hex << status;
    EXPECT_LT(MillisecondsSince(start), kLimitMs + 3000.0);
    ExpectFrameReleased(before);
  }

  ULONG size = ctx_->frameBytes;
  RawBuffer buffer(size);
  auto before = LiveByTag();
  // With the camera gone the frame halt cannot go out: the read ends at
  // once with the bus driver's answer, before any chunk is queued.
  auto start = Clock::now();
  BOOLEAN good = TRUE;
  EXPECT_EQ(Object()->ReadFrame(buffer.data(), buffer.size(), &good), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(good);
  EXPECT_LT(MillisecondsSince(start), kLimitMs / 2.0) << "waited for requests that never went out";
  EXPECT_EQ(Bus().PortResets(), 0u) << "a port that is not connected is not reset";
  ExpectFrameReleased(before);
}

}  // namespace
