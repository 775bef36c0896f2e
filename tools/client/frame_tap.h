// Raw frames exactly as the camera sent them: a tap between the host USB bus
// and the simulated camera that copies the frame pipe's bytes while the
// driver streams, frame by frame, without changing what either side sees.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/simulated_camera.h"

namespace kscam {

struct RawFrame {
  uint64_t sequence = 0;   // whole frames counted since the tap was armed, from 0
  int64_t time100ns = 0;   // when the last byte arrived, on the host's monotonic clock
  std::vector<uint8_t> bytes;
};

class FrameTap final : public host::UsbDeviceModel {
 public:
  explicit FrameTap(std::unique_ptr<sim::SimulatedCamera> camera);

  sim::SimulatedCamera& Camera() { return *camera_; }

  // Starts counting whole frames and, with a queue depth, keeping them: at
  // most queueDepth wait for NextFrame, and the oldest waiting frame makes
  // room for a new one (counted as dropped). Depth 0 only counts.
  void Arm(size_t queueDepth);
  void Disarm();
  // The oldest whole frame not yet taken; false when none came in time.
  bool NextFrame(RawFrame* frame, std::chrono::milliseconds timeout);
  uint64_t FramesSeen();
  uint64_t FramesDropped();
  // The camera's own frame rate since Arm: whole frames per second between
  // the first and the last one; 0 until two came.
  double MeasuredRate();

  // --- host::UsbDeviceModel: everything goes to the camera unchanged ---
  void Attach(host::UsbBusSink* bus) override { camera_->Attach(bus); }
  void Detach() override { camera_->Detach(); }
  host::UsbTransferResult GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t* buffer,
                                        uint32_t length) override {
    return camera_->GetDescriptor(type, index, language, buffer, length);
  }
  host::UsbTransferResult VendorRequest(bool toHost, uint8_t request, uint16_t value, uint16_t index,
                                        uint8_t* data, uint32_t length) override {
    return camera_->VendorRequest(toHost, request, value, index, data, length);
  }
  USBD_STATUS SelectConfiguration(uint8_t configurationValue) override {
    return camera_->SelectConfiguration(configurationValue);
  }
  host::UsbTransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) override;
  host::UsbInResult BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) override;
  USBD_STATUS ResetPipe(uint8_t endpointAddress) override { return camera_->ResetPipe(endpointAddress); }
  void AbortPipe(uint8_t endpointAddress) override { camera_->AbortPipe(endpointAddress); }
  void PortReset() override;

 private:
  void Abandon();  // called with lock_ held

  std::unique_ptr<sim::SimulatedCamera> camera_;
  std::mutex lock_;  // guards everything below
  std::condition_variable arrived_;
  bool armed_ = false;
  size_t queueDepth_ = 0;
  bool collecting_ = false;      // a go started a frame whose bytes are still coming
  uint32_t expectedBytes_ = 0;   // the frame size the camera was told for that frame
  uint32_t received_ = 0;        // bytes of that frame so far
  std::vector<uint8_t> partial_; // those bytes, when frames are kept
  std::deque<RawFrame> whole_;   // whole frames waiting for NextFrame
  uint64_t seen_ = 0;
  uint64_t dropped_ = 0;
  int64_t firstWhole100ns_ = 0;  // when the first and the last whole frame ended
  int64_t lastWhole100ns_ = 0;
};

}  // namespace kscam
