// Helpers for tests of the camera's exchanges: command packets as the camera
// sees them, and the frame time limit a client may change.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "driver/kernel.h"
#include "usb/frame_transfer.h"

namespace kscam_test {

constexpr uint8_t kCommandEndpointAddress = 0x01;

// A 64-byte packet that starts with `head` and is zero after it.
inline std::vector<uint8_t> Packet(std::initializer_list<uint8_t> head) {
  std::vector<uint8_t> packet(64, 0);
  std::copy(head.begin(), head.end(), packet.begin());
  return packet;
}

// The command packet a request carries to the command endpoint, or null for
// every other request (pipe resets and aborts on that endpoint among them).
inline const UCHAR* CommandPacketOf(const URB& urb, uint8_t endpointAddress) {
  if (endpointAddress != kCommandEndpointAddress) return nullptr;
  if (urb.UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return nullptr;
  return static_cast<const UCHAR*>(urb.UrbBulkOrInterruptTransfer.TransferBuffer);
}

// Sets the frame time limit for the life of the object, as a client may
// through the property set, and puts the old one back afterwards.
class FrameTimeLimit {
 public:
  explicit FrameTimeLimit(LONG milliseconds) : saved_(InterlockedExchange(&transferTimeoutMs, milliseconds)) {}
  ~FrameTimeLimit() { InterlockedExchange(&transferTimeoutMs, saved_); }
  FrameTimeLimit(const FrameTimeLimit&) = delete;
  FrameTimeLimit& operator=(const FrameTimeLimit&) = delete;

 private:
  LONG saved_;
};

}  // namespace kscam_test
