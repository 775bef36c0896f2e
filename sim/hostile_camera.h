// A hostile camera: the simulated camera behind a mutator, drawn from a seed,
// that corrupts its descriptors, its reply packets, its command endpoint, its
// frame data and its firmware loads, so that tests can show the driver ends
// every such exchange with a status and loses nothing.
#pragma once

#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/simulated_camera.h"

namespace sim {

// One byte of a descriptor replaced.
struct ByteEdit {
  uint32_t offset;
  uint8_t value;
};

// Something that happens to the n-th transfer of its kind (counted from 0
// over the device's life; only transfers that carried data count on IN).
enum class TransferFault : uint8_t {
  Stall,      // the endpoint halts: the transfer fails with a stall
  Truncate,   // the packet is cut to `bytes` and the transfer ends there
  Garbage,    // the packet's bytes are overwritten
  Duplicate,  // the packet comes twice
  Drop,       // the packet never comes (the host waits for its time-out)
  Error,      // the transfer fails with a device error (not a stall)
  Swallow,    // a command is acknowledged but never reaches the firmware
  Extra,      // after the frame ends, `bytes` more arrive unasked
  Disconnect, // the device leaves the bus until Reconnect
};

struct TransferEvent {
  uint32_t ordinal;
  TransferFault fault;
  uint32_t bytes = 0;
};

struct HostilePlan {
  uint64_t seed = 0;
  BridgeModel bridge = BridgeModel::CommandModel;
  bool startAsBridge = false;  // present the bare bridge, so the driver downloads firmware

  // Descriptors.
  bool deviceDescriptorStalls = false;
  int32_t deviceDescriptorBytes = -1;  // return at most this many bytes (-1: all)
  std::vector<ByteEdit> deviceEdits;
  bool configurationStalls = false;
  int32_t configurationBytes = -1;     // return at most this many bytes (-1: all)
  std::vector<ByteEdit> configurationEdits;
  std::vector<uint8_t> configurationTail;  // bytes appended after the set
  bool fixTotalLength = false;         // wTotalLength counts the tail
  bool selectStalls = false;

  // Transfers, by endpoint.
  std::vector<TransferEvent> commandEvents;  // bulk OUT on the command endpoint
  std::vector<TransferEvent> replyEvents;    // packets on the reply endpoint
  std::vector<TransferEvent> frameEvents;    // data-carrying IN transfers of the frame endpoint
  std::vector<TransferEvent> vendorEvents;   // memory loads
  uint32_t bytesAfterHalt = 0;               // frame bytes sent after each halt command
  bool silentFrames = false;                 // started frames send nothing

  // Whether anything in the plan makes the host wait for a time-out.
  bool Slow() const;
  // Whether the descriptors are the camera's own.
  bool DescriptorsIntact() const;
  std::string Describe() const;
};

// Draws a plan from the seed: a few faults of one or two families. Only one
// seed in about two hundred draws a fault that costs a time-out.
HostilePlan DrawHostilePlan(uint64_t seed);

class HostileCamera final : public host::UsbDeviceModel {
 public:
  explicit HostileCamera(const HostilePlan& plan);
  ~HostileCamera() override;

  SimulatedCamera& Camera() { return *camera_; }
  bool Disconnected();
  // The device comes back after a disconnect, as the bridge after a bus reset.
  void Reconnect();
  // No further faults of any kind: the camera behaves from now on.
  void Calm();

  void Attach(host::UsbBusSink* bus) override;
  void Detach() override;
  host::UsbTransferResult GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t* buffer,
                                        uint32_t length) override;
  host::UsbTransferResult VendorRequest(bool toHost, uint8_t request, uint16_t value, uint16_t index,
                                        uint8_t* data, uint32_t length) override;
  USBD_STATUS SelectConfiguration(uint8_t configurationValue) override;
  host::UsbTransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) override;
  host::UsbInResult BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) override;
  USBD_STATUS ResetPipe(uint8_t endpointAddress) override;
  void AbortPipe(uint8_t endpointAddress) override;
  void PortReset() override;

 private:
  std::vector<uint8_t> MutatedDescriptor(uint8_t type, USBD_STATUS* status);
  const TransferEvent* Take(const std::vector<TransferEvent>& events, uint32_t* counter);
  host::UsbInResult ReplyIn(uint8_t* buffer, uint32_t capacity);
  host::UsbInResult FrameIn(uint8_t* buffer, uint32_t capacity);
  void Notify();

  std::unique_ptr<SimulatedCamera> camera_;
  // Guards everything below. The bus calls the device one call at a time;
  // the lock keeps the test's Reconnect and Calm apart from those calls. It
  // is never held while the camera or the bus is called.
  std::mutex lock_;
  HostilePlan plan_;
  host::UsbBusSink* sink_ = nullptr;
  bool disconnected_ = false;
  bool calm_ = false;
  uint32_t commands_ = 0, replies_ = 0, frames_ = 0, vendors_ = 0;  // ordinals counted so far
  std::vector<uint8_t> pendingReply_;  // a duplicate still to come
  uint32_t afterHalt_ = 0;             // unasked frame bytes still to come after a halt
  uint32_t extraFrameBytes_ = 0;       // unasked frame bytes still to come after a frame
};

}  // namespace sim
