// Ties the camera's parts together behind the USB device interface: the
// bridge CPU and its firmware load, the firmware's command loop, the sensor,
// the scene and the frame output.
#include "sim/simulated_camera.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "sim/bridge_cpu.h"
#include "sim/bridge_firmware.h"
#include "sim/firmware_command_loop.h"
#include "sim/scene.h"

namespace sim {

namespace {

constexpr host::UsbTransferResult kStall{USBD_STATUS_STALL_PID, 0};
// How often a paced frame tells the bus that more bytes arrived: about 21 KB
// at the default rate, a third of a 64 KiB transfer.
constexpr std::chrono::microseconds kPaceInterval{500};
// A control transfer with a data stage on a high-speed bus: setup, data and
// status each take a microframe of their own.
constexpr std::chrono::microseconds kControlTransferTime{375};

}  // namespace

struct SimulatedCamera::State {
  explicit State(const CameraOptions& options)
      : options(options),
        sensor(options.chip),
        processor(options.bridge == BridgeModel::Firmware ? std::make_unique<BridgeProcessor>(sensor) : nullptr),
        cpu(options.firmwareRunning, processor.get()),
        firmware(processor ? std::unique_ptr<CommandLoop>(std::make_unique<FirmwareCommandLoop>(*processor))
                           : std::make_unique<BridgeFirmware>(sensor)),
        scene(options.scene, options.movingElement),
        streamer(options.paced ? options.bytesPerSecond : 0) {}

  // Guards everything from here to the sink fields. Every model and
  // observation call holds it; nothing calls out of the camera while it is held.
  std::mutex lock;
  CameraOptions options;
  CameraFaults faults;
  Sensor sensor;
  std::unique_ptr<BridgeProcessor> processor;  // only when the 8051 runs the firmware
  BridgeCpu cpu;
  std::unique_ptr<CommandLoop> firmware;
  SceneView scene;
  FrameStreamer streamer;
  std::vector<CommandPacket> commands;
  bool commandHalted = false;
  bool replyHalted = false;

  // Guards sink and pacer, and is held while the sink is called, so Detach
  // waits out a notification in progress. Taken without `lock` held.
  std::mutex sinkLock;
  host::UsbBusSink* sink = nullptr;
  std::unique_ptr<Pacer> pacer;

  // --- Everything below runs with `lock` held. ---

  ReplyFaults CurrentReplyFaults() const {
    return {faults.noReplies, faults.firstReplyOnly, faults.shortReplyBytes};
  }

  uint32_t FrameBytes() const {
    if (auto size = firmware->FrameSize()) return *size;
    return LayoutOf(sensor.CurrentReadout()).DefaultFrameBytes();
  }

  // Renders the frame with this index into `out` (already filler), as far
  // as its `bytes` reach.
  void Compose(uint8_t* out, uint64_t bytes, uint64_t frameIndex) {
    Readout readout = sensor.CurrentReadout();
    FrameLayout layout = LayoutOf(readout);
    Sensor::ReadRows(scene.Frame(frameIndex), readout, out, bytes, layout.lineOffset, layout.rowPitch);
  }

  void StartFrame() {
    uint32_t bytes = FrameBytes();
    uint64_t content = std::min<uint64_t>(bytes, LayoutOf(sensor.CurrentReadout()).NaturalBytes());
    Compose(streamer.NewFrame(bytes, content), content, streamer.FramesStarted());
    streamer.Start(Clock::now(), {faults.silent, faults.stopAfterBytes});
  }

  // The CPU stopped or started running the camera firmware.
  void FirmwareRestarted() {
    streamer.Halt();
    firmware->Restart();
  }
};

namespace {

const CameraOptions& Checked(const CameraOptions& options) {
  if (options.bridge == BridgeModel::Firmware && options.firmwareRunning && BuiltCameraFirmware().empty())
    throw std::invalid_argument("the camera firmware was not built (sdcc is not installed)");
  return options;
}

}  // namespace

SimulatedCamera::SimulatedCamera(const CameraOptions& options) : state_(std::make_unique<State>(Checked(options))) {}

SimulatedCamera::~SimulatedCamera() { Detach(); }

// --- Test and tool view -------------------------------------------------------

std::vector<CommandPacket> SimulatedCamera::Commands() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->commands;
}

void SimulatedCamera::ClearCommands() {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->commands.clear();
}

uint16_t SimulatedCamera::Register(uint8_t number) {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->sensor.Read(number);
}

void SimulatedCamera::SetRegister(uint8_t number, uint16_t value) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->sensor.Force(number, value);
}

uint32_t SimulatedCamera::FrameSize() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->FrameBytes();
}

bool SimulatedCamera::HalfClock() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->firmware->HalfClock();
}

bool SimulatedCamera::FirmwareRunning() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->cpu.CameraFirmwareRunning();
}

uint32_t SimulatedCamera::ReEnumerations() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->cpu.ReEnumerations();
}

bool SimulatedCamera::CpuHeldInReset() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->cpu.CurrentState() == BridgeCpu::State::Reset;
}

uint64_t SimulatedCamera::FramesSent() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->streamer.FramesSent();
}

uint64_t SimulatedCamera::FramesStarted() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->streamer.FramesStarted();
}

size_t SimulatedCamera::PendingReplies() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->firmware->PendingReplies();
}

FrameLayout SimulatedCamera::Layout() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return LayoutOf(state_->sensor.CurrentReadout());
}

int SimulatedCamera::BayerPhase() {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->sensor.CurrentReadout().bayerPhase;
}

std::vector<uint8_t> SimulatedCamera::RenderFrame() {
  std::lock_guard<std::mutex> guard(state_->lock);
  std::vector<uint8_t> frame(state_->FrameBytes(), kFillerByte);
  state_->Compose(frame.data(), frame.size(), state_->streamer.FramesStarted());
  return frame;
}

void SimulatedCamera::SetFaults(const CameraFaults& faults) {
  bool repliesReleased;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    repliesReleased = state_->faults.holdReplies && !faults.holdReplies && state_->firmware->PendingReplies() > 0;
    state_->faults = faults;
    state_->commandHalted = faults.stallCommandPipe;
    state_->replyHalted = faults.stallReplyPipe;
  }
  // Replies kept back go out now, as late answers to whatever asks next.
  if (repliesReleased) NotifyBus();
}

void SimulatedCamera::SetScene(const std::string& scene) {
  SceneView view(scene, state_->options.movingElement);  // validates before anything changes
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->scene = std::move(view);
  state_->options.scene = scene;
}

// --- Bus side ---------------------------------------------------------------

void SimulatedCamera::NotifyBus() {
  std::lock_guard<std::mutex> guard(state_->sinkLock);
  if (state_->sink != nullptr) state_->sink->InDataAvailable();
}

bool SimulatedCamera::PaceTick() {
  bool more;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    more = state_->streamer.MoreToCome(Clock::now());
  }
  // Told after the check, so the bytes that made the frame complete are seen.
  NotifyBus();
  return more;
}

void SimulatedCamera::Attach(host::UsbBusSink* bus) {
  std::lock_guard<std::mutex> guard(state_->sinkLock);
  state_->sink = bus;
  if (state_->options.paced && !state_->pacer)
    state_->pacer = std::make_unique<Pacer>(kPaceInterval, [this] { return PaceTick(); });
}

void SimulatedCamera::Detach() {
  std::unique_ptr<Pacer> pacer;
  {
    std::lock_guard<std::mutex> guard(state_->sinkLock);
    state_->sink = nullptr;
    pacer = std::move(state_->pacer);
  }
  // Joins the pacing thread; a tick still running finds no sink.
  pacer.reset();
}

host::UsbTransferResult SimulatedCamera::GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                                                       uint8_t* buffer, uint32_t length) {
  std::lock_guard<std::mutex> guard(state_->lock);
  return ServeDescriptor(state_->cpu.Identity(), type, index, buffer, length);
}

namespace {

// Whether a fault damages this load: a write of internal memory, not the
// processor's reset register, that covers the damaged address.
bool DamagedLoad(bool toHost, uint8_t request, uint16_t address, const uint8_t* data, uint32_t length,
                 int32_t damaged) {
  if (toHost || request != kLoadInternalRequest || data == nullptr || damaged < 0) return false;
  if (address == kCpuControlAddress || address == kCpuControlAlias) return false;
  return damaged >= address && uint32_t(damaged) < uint32_t(address) + length;
}

// The bridge stores what arrived damaged; the host's buffer stays as it was.
host::UsbTransferResult LoadDamaged(BridgeCpu& cpu, uint16_t address, const uint8_t* data, uint32_t length,
                                    int32_t damaged) {
  std::vector<uint8_t> received(data, data + length);
  received[damaged - address] ^= 0x01;
  return cpu.VendorRequest(false, kLoadInternalRequest, address, received.data(), length);
}

}  // namespace

host::UsbTransferResult SimulatedCamera::VendorRequest(bool toHost, uint8_t request, uint16_t value,
                                                       uint16_t index, uint8_t* data, uint32_t length) {
  Clock::time_point done = Clock::now() + kControlTransferTime;
  host::UsbTransferResult result;
  bool paced;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    paced = state_->options.paced;
    bool wasRunning = state_->cpu.CameraFirmwareRunning();
    result = DamagedLoad(toHost, request, value, data, length, state_->faults.damagedLoadAddress)
                 ? LoadDamaged(state_->cpu, value, data, length, state_->faults.damagedLoadAddress)
                 : state_->cpu.VendorRequest(toHost, request, value, data, length);
    // Starting or stopping the camera firmware is its re-enumeration: from
    // here on descriptors show the new identity.
    if (state_->cpu.CameraFirmwareRunning() != wasRunning) state_->FirmwareRestarted();
  }
  if (paced) std::this_thread::sleep_until(done);
  return result;
}

USBD_STATUS SimulatedCamera::SelectConfiguration(uint8_t configurationValue) {
  if (configurationValue != 0 && configurationValue != kConfigurationValue) return USBD_STATUS_STALL_PID;
  return USBD_STATUS_SUCCESS;
}

host::UsbTransferResult SimulatedCamera::BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) {
  FrameAction action;
  bool replies;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    State& s = *state_;
    if (endpointAddress != kCommandEndpoint || s.commandHalted || !s.cpu.CameraFirmwareRunning()) return kStall;
    // Firmware that stopped taking packets would leave the endpoint naking
    // forever; the model stalls instead, so the host gets a status.
    if (s.processor && !s.processor->Running()) return kStall;
    if (data == nullptr || length != kPacketBytes) {
      // The firmware takes whole packets only; anything else halts the
      // endpoint so the host notices instead of the firmware guessing.
      s.commandHalted = true;
      return kStall;
    }
    Packet packet;
    std::copy(data, data + kPacketBytes, packet.begin());
    s.commands.emplace_back(packet.begin(), packet.end());
    size_t before = s.firmware->PendingReplies();
    action = s.firmware->Execute(packet, s.CurrentReplyFaults());
    if (action == FrameAction::Go) s.StartFrame();
    else if (action == FrameAction::Halt) s.streamer.Halt();
    replies = s.firmware->PendingReplies() > before;
  }
  if (replies || action == FrameAction::Go) NotifyBus();
  if (action == FrameAction::Go) {
    std::lock_guard<std::mutex> guard(state_->sinkLock);
    if (state_->pacer) state_->pacer->Arm();
  }
  return {USBD_STATUS_SUCCESS, length};
}

host::UsbInResult SimulatedCamera::BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> guard(state_->lock);
  State& s = *state_;
  if (buffer == nullptr) capacity = 0;
  if (endpointAddress == kReplyEndpoint) {
    if (s.replyHalted) return {USBD_STATUS_STALL_PID, 0, true};
    if (s.faults.holdReplies) return {};  // the answer is late: the transfer waits
    return s.firmware->SendReply(buffer, capacity);
  }
  if (endpointAddress == kFrameEndpoint) return s.streamer.Fill(buffer, capacity, Clock::now());
  return {USBD_STATUS_STALL_PID, 0, true};
}

USBD_STATUS SimulatedCamera::ResetPipe(uint8_t endpointAddress) {
  std::lock_guard<std::mutex> guard(state_->lock);
  switch (endpointAddress) {
    case kCommandEndpoint: state_->commandHalted = false; return USBD_STATUS_SUCCESS;
    case kReplyEndpoint: state_->replyHalted = false; return USBD_STATUS_SUCCESS;
    case kFrameEndpoint: return USBD_STATUS_SUCCESS;
    default: return USBD_STATUS_STALL_PID;
  }
}

void SimulatedCamera::AbortPipe(uint8_t endpointAddress) {
  // Aborting is the host cancelling its own transfers; the device sees nothing.
}

void SimulatedCamera::PortReset() {
  // A bus reset flushes the bridge's endpoint buffers; the firmware keeps running.
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->firmware->DropReplies();
  state_->streamer.Halt();
}

}  // namespace sim
