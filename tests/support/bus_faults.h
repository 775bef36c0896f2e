// Helpers for the host bus's submission faults that pick out the camera's
// command packets.
#pragma once

#include <stdint.h>

#include "driver/kernel.h"

namespace kscam_test {

constexpr uint8_t kCommandEndpointAddress = 0x01;

// The command packet a request carries to the command endpoint, or null for
// every other request (pipe resets and aborts on that endpoint among them).
inline const UCHAR* CommandPacketOf(const URB& urb, uint8_t endpointAddress) {
  if (endpointAddress != kCommandEndpointAddress) return nullptr;
  if (urb.UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return nullptr;
  return static_cast<const UCHAR*>(urb.UrbBulkOrInterruptTransfer.TransferBuffer);
}

}  // namespace kscam_test
