#include "sim/hostile_camera.h"

#include <string.h>

#include <algorithm>
#include <sstream>

namespace sim {

namespace {

constexpr host::UsbTransferResult kGone{USBD_STATUS_DEV_NOT_RESPONDING, 0};
constexpr uint32_t kPacket = 64;
constexpr uint8_t kGarbageByte = 0xC3;
constexpr uint8_t kCommandHalt = 0x02;

// The camera's descriptor set is 39 bytes: configuration (0..8), interface
// (9..17), then three endpoints of 7 bytes from 18. The fields a hostile
// device would lie about.
constexpr uint32_t kConfigurationFields[] = {
    0, 1, 2, 3, 4,             // bLength, type, wTotalLength, bNumInterfaces
    9, 10, 11, 12, 13,         // interface: bLength, type, number, alternate, bNumEndpoints
    18, 20, 21, 22, 23,        // endpoint 1: bLength, address, attributes, wMaxPacketSize
    25, 27, 28, 29, 30,        // endpoint 2
    32, 34, 35, 36, 37,        // endpoint 3
};
constexpr uint32_t kFirstEndpointOffset = 18;
// How many transfers of each kind a case makes without faults: a start and
// the property requests take about 55 commands and 38 reply packets, the two
// firmware images 87 loads. Ordinals are drawn below these, so that nearly
// every fault drawn fires.
constexpr uint32_t kCommandOrdinals = 56;
constexpr uint32_t kReplyOrdinals = 38;
constexpr uint32_t kLoadOrdinals = 87;
constexpr uint32_t kDeviceFields[] = {0, 1, 7, 8, 9, 10, 11, 17};
// Values that break parsers: zero, one, the descriptor types, the edges.
constexpr uint8_t kNastyValues[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 0x40, 0x7F, 0x80, 0x81, 0x82, 0xFF};
// Errors a transfer with a device still on the bus can end with. "Device
// gone" is not among them: the host controller says that once the port has
// lost the device, never because of what a present device sent, and the
// driver rightly treats it as final (the surprise-removal suite covers it).
constexpr USBD_STATUS kErrors[] = {USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_DATA_OVERRUN,
                                   USBD_STATUS_ENDPOINT_HALTED, USBD_STATUS_CRC};

// splitmix64: a small generator whose sequence is the same everywhere, so a
// seed names one case on every machine and library.
class Draw {
 public:
  explicit Draw(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : uint32_t(Next() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  template <class T, size_t N>
  T Pick(const T (&values)[N]) { return values[Below(N)]; }

 private:
  uint64_t state_;
};

uint8_t NastyOrAny(Draw& d) { return d.OneIn(2) ? d.Pick(kNastyValues) : uint8_t(d.Next()); }

void DrawDescriptorFaults(Draw& d, HostilePlan& p) {
  switch (d.Below(8)) {
    case 0: p.deviceDescriptorBytes = int32_t(d.Below(18)); break;
    case 1: p.deviceDescriptorStalls = true; break;
    case 2: p.configurationStalls = true; break;
    case 3: p.configurationBytes = int32_t(d.Below(39)); break;
    case 4: p.selectStalls = true; break;
    case 5: p.deviceEdits.push_back({d.Pick(kDeviceFields), NastyOrAny(d)}); break;
    default: {
      uint32_t edits = 1 + d.Below(3);
      for (uint32_t i = 0; i < edits; ++i)
        p.configurationEdits.push_back({d.OneIn(8) ? d.Below(39) : d.Pick(kConfigurationFields), NastyOrAny(d)});
      if (d.OneIn(4)) {
        p.configurationTail.resize(1 + d.Below(24));
        for (uint8_t& byte : p.configurationTail) byte = NastyOrAny(d);
        p.fixTotalLength = d.OneIn(2);
      }
    }
  }
}

// Ordinals early enough to hit start-up, the first property requests or the
// first frames.
TransferEvent DrawEvent(Draw& d, uint32_t range, const TransferFault* faults, size_t count) {
  TransferEvent event{d.Below(range), faults[d.Below(uint32_t(count))], 0};
  if (event.fault == TransferFault::Truncate) event.bytes = d.Below(kPacket);
  if (event.fault == TransferFault::Extra) event.bytes = 1 + d.Below(3 * kPacket);
  if (event.fault == TransferFault::Error) event.bytes = d.Below(sizeof(kErrors) / sizeof(kErrors[0]));
  return event;
}

void DrawExchangeFaults(Draw& d, HostilePlan& p, bool slowAllowed) {
  static constexpr TransferFault kReply[] = {TransferFault::Stall, TransferFault::Truncate, TransferFault::Garbage,
                                             TransferFault::Duplicate, TransferFault::Error};
  static constexpr TransferFault kCommand[] = {TransferFault::Stall, TransferFault::Error, TransferFault::Truncate};
  uint32_t events = 1 + d.Below(3);
  for (uint32_t i = 0; i < events; ++i) {
    if (d.OneIn(2)) p.replyEvents.push_back(DrawEvent(d, kReplyOrdinals, kReply, 5));
    else p.commandEvents.push_back(DrawEvent(d, kCommandOrdinals, kCommand, 3));
  }
  if (slowAllowed && d.OneIn(2)) p.replyEvents.push_back({d.Below(kReplyOrdinals), TransferFault::Drop, 0});
  else if (slowAllowed) p.commandEvents.push_back({d.Below(kCommandOrdinals), TransferFault::Swallow, 0});
}

void DrawFrameFaults(Draw& d, HostilePlan& p, bool slowAllowed) {
  static constexpr TransferFault kFrame[] = {TransferFault::Stall, TransferFault::Error, TransferFault::Truncate,
                                             TransferFault::Extra};
  uint32_t events = 1 + d.Below(3);
  for (uint32_t i = 0; i < events; ++i) p.frameEvents.push_back(DrawEvent(d, 12, kFrame, 4));
  if (d.OneIn(3)) p.bytesAfterHalt = 1 + d.Below(70000);
  if (slowAllowed) p.silentFrames = true;
}

void DrawDownloadFaults(Draw& d, HostilePlan& p) {
  p.startAsBridge = true;
  static constexpr TransferFault kLoad[] = {TransferFault::Disconnect, TransferFault::Stall, TransferFault::Error};
  p.vendorEvents.push_back(DrawEvent(d, kLoadOrdinals, kLoad, 3));
}

std::string FaultName(TransferFault fault) {
  static const char* const kNames[] = {"stall", "truncate", "garbage", "duplicate", "drop",
                                       "error", "swallow", "extra", "disconnect"};
  return kNames[size_t(fault)];
}

void DescribeEvents(std::ostringstream& out, const char* what, const std::vector<TransferEvent>& events) {
  for (const TransferEvent& e : events) out << ' ' << what << '#' << e.ordinal << ':' << FaultName(e.fault) << '/' << e.bytes;
}

void ApplyEdits(std::vector<uint8_t>& bytes, const std::vector<ByteEdit>& edits) {
  for (const ByteEdit& edit : edits)
    if (edit.offset < bytes.size()) bytes[edit.offset] = edit.value;
}

}  // namespace

bool HostilePlan::Slow() const {
  auto slow = [](const std::vector<TransferEvent>& events) {
    return std::any_of(events.begin(), events.end(), [](const TransferEvent& e) {
      return e.fault == TransferFault::Drop || e.fault == TransferFault::Swallow;
    });
  };
  // An endpoint given another address or type may leave the reply pipe
  // reading an endpoint that never answers: every exchange waits its limit.
  bool endpointsEdited = std::any_of(configurationEdits.begin(), configurationEdits.end(),
                                     [](const ByteEdit& e) { return e.offset >= kFirstEndpointOffset; });
  return silentFrames || endpointsEdited || slow(replyEvents) || slow(commandEvents);
}

bool HostilePlan::DescriptorsIntact() const {
  return !deviceDescriptorStalls && deviceDescriptorBytes < 0 && deviceEdits.empty() && !configurationStalls &&
         configurationBytes < 0 && configurationEdits.empty() && configurationTail.empty() && !selectStalls;
}

std::string HostilePlan::Describe() const {
  std::ostringstream out;
  out << "seed " << seed << (bridge == BridgeModel::Firmware ? " 8051" : " model") << (startAsBridge ? " bridge" : "");
  if (deviceDescriptorStalls) out << " device-descriptor:stall";
  if (deviceDescriptorBytes >= 0) out << " device-descriptor:" << deviceDescriptorBytes << "B";
  for (const ByteEdit& e : deviceEdits) out << " device[" << e.offset << "]=" << int(e.value);
  if (configurationStalls) out << " configuration:stall";
  if (configurationBytes >= 0) out << " configuration:" << configurationBytes << "B";
  for (const ByteEdit& e : configurationEdits) out << " configuration[" << e.offset << "]=" << int(e.value);
  if (!configurationTail.empty())
    out << " tail:" << configurationTail.size() << "B" << (fixTotalLength ? "(counted)" : "");
  if (selectStalls) out << " select:stall";
  DescribeEvents(out, "command", commandEvents);
  DescribeEvents(out, "reply", replyEvents);
  DescribeEvents(out, "frame", frameEvents);
  DescribeEvents(out, "load", vendorEvents);
  if (bytesAfterHalt) out << " after-halt:" << bytesAfterHalt << "B";
  if (silentFrames) out << " silent-frames";
  return out.str();
}

HostilePlan DrawHostilePlan(uint64_t seed) {
  Draw d(seed);
  HostilePlan p;
  p.seed = seed;
  p.bridge = d.OneIn(8) ? BridgeModel::Firmware : BridgeModel::CommandModel;
  bool slow = d.OneIn(200);
  uint32_t families = 1 + d.Below(2);
  for (uint32_t i = 0; i < families; ++i) {
    switch (d.Below(8)) {
      case 0: case 1: case 2: DrawDescriptorFaults(d, p); break;
      case 3: case 4: DrawExchangeFaults(d, p, slow); break;
      case 5: case 6: DrawFrameFaults(d, p, slow); break;
      default: DrawDownloadFaults(d, p); break;
    }
    slow = false;  // one slow fault at most
  }
  return p;
}

HostileCamera::HostileCamera(const HostilePlan& plan) : plan_(plan) {
  CameraOptions options;
  options.bridge = plan.bridge;
  options.firmwareRunning = !plan.startAsBridge;
  options.scene = "bars";
  camera_ = std::make_unique<SimulatedCamera>(options);
  if (plan.silentFrames) {
    CameraFaults faults;
    faults.silent = true;
    camera_->SetFaults(faults);
  }
}

HostileCamera::~HostileCamera() { Detach(); }

bool HostileCamera::Disconnected() {
  std::lock_guard<std::mutex> guard(lock_);
  return disconnected_;
}

void HostileCamera::Reconnect() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    disconnected_ = false;
  }
  camera_->PortReset();
}

void HostileCamera::Calm() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    calm_ = true;
    pendingReply_.clear();
    afterHalt_ = extraFrameBytes_ = 0;
  }
  camera_->SetFaults(CameraFaults());
}

void HostileCamera::Attach(host::UsbBusSink* bus) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    sink_ = bus;
  }
  camera_->Attach(bus);
}

void HostileCamera::Detach() {
  camera_->Detach();
  std::lock_guard<std::mutex> guard(lock_);
  sink_ = nullptr;
}

void HostileCamera::Notify() {
  host::UsbBusSink* sink;
  {
    std::lock_guard<std::mutex> guard(lock_);
    sink = sink_;
  }
  if (sink != nullptr) sink->InDataAvailable();
}

// The event planned for this transfer, if any; counts the transfer. Call
// with lock_ held.
const TransferEvent* HostileCamera::Take(const std::vector<TransferEvent>& events, uint32_t* counter) {
  uint32_t ordinal = (*counter)++;
  if (calm_) return nullptr;
  for (const TransferEvent& event : events)
    if (event.ordinal == ordinal) return &event;
  return nullptr;
}

std::vector<uint8_t> HostileCamera::MutatedDescriptor(uint8_t type, USBD_STATUS* status) {
  std::vector<uint8_t> bytes(1024);
  host::UsbTransferResult inner = camera_->GetDescriptor(type, 0, 0, bytes.data(), uint32_t(bytes.size()));
  *status = inner.status;
  bytes.resize(inner.bytes);
  std::lock_guard<std::mutex> guard(lock_);
  if (calm_ || !USBD_SUCCESS(inner.status)) return bytes;
  bool device = type == USB_DEVICE_DESCRIPTOR_TYPE;
  if ((device && plan_.deviceDescriptorStalls) || (!device && plan_.configurationStalls)) {
    *status = USBD_STATUS_STALL_PID;
    return {};
  }
  ApplyEdits(bytes, device ? plan_.deviceEdits : plan_.configurationEdits);
  if (!device && !plan_.configurationTail.empty()) {
    bytes.insert(bytes.end(), plan_.configurationTail.begin(), plan_.configurationTail.end());
    if (plan_.fixTotalLength) {
      bytes[2] = uint8_t(bytes.size());
      bytes[3] = uint8_t(bytes.size() >> 8);
    }
  }
  int32_t limit = device ? plan_.deviceDescriptorBytes : plan_.configurationBytes;
  if (limit >= 0 && bytes.size() > size_t(limit)) bytes.resize(size_t(limit));
  return bytes;
}

host::UsbTransferResult HostileCamera::GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                                                     uint8_t* buffer, uint32_t length) {
  if (Disconnected()) return kGone;
  if (type != USB_DEVICE_DESCRIPTOR_TYPE && type != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return camera_->GetDescriptor(type, index, language, buffer, length);
  USBD_STATUS status;
  std::vector<uint8_t> bytes = MutatedDescriptor(type, &status);
  if (!USBD_SUCCESS(status)) return {status, 0};
  uint32_t moved = std::min<uint32_t>(length, uint32_t(bytes.size()));
  if (moved > 0) memcpy(buffer, bytes.data(), moved);
  return {USBD_STATUS_SUCCESS, moved};
}

host::UsbTransferResult HostileCamera::VendorRequest(bool toHost, uint8_t request, uint16_t value, uint16_t index,
                                                     uint8_t* data, uint32_t length) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (disconnected_) return kGone;
    if (const TransferEvent* event = Take(plan_.vendorEvents, &vendors_)) {
      if (event->fault == TransferFault::Disconnect) {
        disconnected_ = true;
        return kGone;
      }
      if (event->fault == TransferFault::Stall) return {USBD_STATUS_STALL_PID, 0};
      return {kErrors[event->bytes % 4], 0};
    }
  }
  return camera_->VendorRequest(toHost, request, value, index, data, length);
}

USBD_STATUS HostileCamera::SelectConfiguration(uint8_t configurationValue) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (disconnected_) return kGone.status;
    if (plan_.selectStalls && !calm_ && configurationValue != 0) return USBD_STATUS_STALL_PID;
  }
  return camera_->SelectConfiguration(configurationValue);
}

host::UsbTransferResult HostileCamera::BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) {
  bool halt = data != nullptr && length > 0 && data[0] == kCommandHalt;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (disconnected_) return kGone;
    if (const TransferEvent* event = Take(plan_.commandEvents, &commands_)) {
      switch (event->fault) {
        case TransferFault::Stall: return {USBD_STATUS_STALL_PID, 0};
        case TransferFault::Swallow: return {USBD_STATUS_SUCCESS, length};
        case TransferFault::Truncate: return {USBD_STATUS_SUCCESS, std::min(length, event->bytes)};
        default: return {kErrors[event->bytes % 4], 0};
      }
    }
    if (halt && !calm_) afterHalt_ = plan_.bytesAfterHalt;
  }
  host::UsbTransferResult result = camera_->BulkOut(endpointAddress, data, length);
  if (halt && plan_.bytesAfterHalt > 0) Notify();
  return result;
}

host::UsbInResult HostileCamera::BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) {
  if (Disconnected()) return {kGone.status, 0, true};
  if (endpointAddress == kReplyEndpoint) return ReplyIn(buffer, capacity);
  if (endpointAddress == kFrameEndpoint) return FrameIn(buffer, capacity);
  return camera_->BulkIn(endpointAddress, buffer, capacity);
}

host::UsbInResult HostileCamera::ReplyIn(uint8_t* buffer, uint32_t capacity) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!pendingReply_.empty()) {
      uint32_t bytes = std::min<uint32_t>(capacity, uint32_t(pendingReply_.size()));
      if (bytes > 0) memcpy(buffer, pendingReply_.data(), bytes);
      pendingReply_.clear();
      return {USBD_STATUS_SUCCESS, bytes, true};
    }
  }
  host::UsbInResult result = camera_->BulkIn(kReplyEndpoint, buffer, capacity);
  if (result.bytes == 0 || !USBD_SUCCESS(result.status)) return result;
  std::lock_guard<std::mutex> guard(lock_);
  const TransferEvent* event = Take(plan_.replyEvents, &replies_);
  if (event == nullptr) return result;
  switch (event->fault) {
    case TransferFault::Stall: return {USBD_STATUS_STALL_PID, 0, true};
    case TransferFault::Truncate: result.bytes = std::min(result.bytes, event->bytes); return result;
    case TransferFault::Garbage: memset(buffer, kGarbageByte, result.bytes); return result;
    case TransferFault::Duplicate: pendingReply_.assign(buffer, buffer + result.bytes); return result;
    case TransferFault::Drop: return {};  // the packet is lost; the transfer waits
    default: return {kErrors[event->bytes % 4], 0, true};
  }
}

host::UsbInResult HostileCamera::FrameIn(uint8_t* buffer, uint32_t capacity) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    uint32_t* unasked = afterHalt_ > 0 ? &afterHalt_ : extraFrameBytes_ > 0 ? &extraFrameBytes_ : nullptr;
    if (unasked != nullptr && capacity > 0) {
      uint32_t bytes = std::min(capacity, *unasked);
      memset(buffer, kGarbageByte, bytes);
      *unasked -= bytes;
      return {USBD_STATUS_SUCCESS, bytes, bytes < capacity};
    }
  }
  host::UsbInResult result = camera_->BulkIn(kFrameEndpoint, buffer, capacity);
  if (result.bytes == 0 || !USBD_SUCCESS(result.status)) return result;
  std::lock_guard<std::mutex> guard(lock_);
  const TransferEvent* event = Take(plan_.frameEvents, &frames_);
  if (event == nullptr) return result;
  switch (event->fault) {
    case TransferFault::Stall: return {USBD_STATUS_STALL_PID, 0, true};
    case TransferFault::Truncate: result.bytes = std::min(result.bytes, 1 + event->bytes * 512); result.transferEnds = true; return result;
    case TransferFault::Extra: extraFrameBytes_ = event->bytes * 1024; return result;
    default: return {kErrors[event->bytes % 4], 0, true};
  }
}

USBD_STATUS HostileCamera::ResetPipe(uint8_t endpointAddress) {
  if (Disconnected()) return kGone.status;
  return camera_->ResetPipe(endpointAddress);
}

void HostileCamera::AbortPipe(uint8_t endpointAddress) { camera_->AbortPipe(endpointAddress); }

void HostileCamera::PortReset() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    pendingReply_.clear();
    afterHalt_ = extraFrameBytes_ = 0;
    if (disconnected_) return;
  }
  camera_->PortReset();
}

}  // namespace sim
