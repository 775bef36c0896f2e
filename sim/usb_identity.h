// The camera's USB identity: its device descriptor, which changes when the
// camera firmware starts and the bridge re-enumerates, and its one
// configuration with the command, reply and frame endpoints.
#pragma once

#include <stdint.h>

#include <vector>

#include "platform/usb_bus.h"

namespace sim {

// USB identities: the bare bridge before its firmware runs, the camera once
// its firmware runs. The driver compares the camera identity at start.
constexpr uint16_t kBridgeVendorId = 0xF5C0;
constexpr uint16_t kBridgeProductId = 0x0001;
constexpr uint16_t kCameraVendorId = 0xF5C0;
constexpr uint16_t kCameraProductId = 0x5C01;
// Device release numbers: the bridge's silicon revision, the camera firmware's version.
constexpr uint16_t kBridgeRelease = 0xA001;
constexpr uint16_t kCameraRelease = 0x0100;

// What the device descriptor says about who the device is.
struct DeviceIdentity {
  uint16_t vendorId;
  uint16_t productId;
  uint16_t release;
};
constexpr DeviceIdentity kBridgeIdentity{kBridgeVendorId, kBridgeProductId, kBridgeRelease};

// Endpoints of the camera's one interface, in pipe order.
constexpr uint8_t kCommandEndpoint = 0x01;  // pipe 0, bulk OUT
constexpr uint8_t kReplyEndpoint = 0x81;    // pipe 1, bulk IN
constexpr uint8_t kFrameEndpoint = 0x82;    // pipe 2, bulk IN

constexpr uint8_t kConfigurationValue = 1;
constexpr uint16_t kBulkMaxPacket = 512;  // high-speed bulk

// The 18-byte device descriptor of a device with this identity.
std::vector<uint8_t> DeviceDescriptor(const DeviceIdentity& identity);
// The configuration descriptor followed by its interface and endpoint
// descriptors, as wTotalLength counts them.
std::vector<uint8_t> ConfigurationDescriptorSet();

// Answers a standard GET_DESCRIPTOR request: the first min(length, size)
// bytes of the descriptor; descriptors the device does not have stall.
host::UsbTransferResult ServeDescriptor(const DeviceIdentity& identity, uint8_t type, uint8_t index, uint8_t* buffer,
                                        uint32_t length);

}  // namespace sim
