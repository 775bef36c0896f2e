#include "sim/usb_identity.h"

#include <string.h>

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint16_t kUsb20 = 0x0200;

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(uint8_t(value));
  out.push_back(uint8_t(value >> 8));
}

void AppendBulkEndpoint(std::vector<uint8_t>& out, uint8_t address) {
  out.insert(out.end(), {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, address,
                         USB_ENDPOINT_TYPE_BULK});
  PutLe16(out, kBulkMaxPacket);
  out.push_back(0);  // bInterval: bulk endpoints never NAK-limit
}

}  // namespace

std::vector<uint8_t> DeviceDescriptor(const DeviceIdentity& identity) {
  std::vector<uint8_t> out = {sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
  PutLe16(out, kUsb20);
  out.insert(out.end(), {kVendorSpecificClass, kVendorSpecificClass, kVendorSpecificClass, 64});
  PutLe16(out, identity.vendorId);
  PutLe16(out, identity.productId);
  PutLe16(out, identity.release);
  out.insert(out.end(), {0, 0, 0, 1});  // no strings; one configuration
  return out;
}

std::vector<uint8_t> ConfigurationDescriptorSet() {
  constexpr uint16_t kTotal =
      sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR) + 3 * sizeof(USB_ENDPOINT_DESCRIPTOR);
  std::vector<uint8_t> out = {sizeof(USB_CONFIGURATION_DESCRIPTOR), USB_CONFIGURATION_DESCRIPTOR_TYPE};
  PutLe16(out, kTotal);
  // One interface; bus powered (bit 7 must be set), drawing up to 500 mA.
  out.insert(out.end(), {1, kConfigurationValue, 0, 0x80, 250});
  out.insert(out.end(), {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3,
                         kVendorSpecificClass, kVendorSpecificClass, kVendorSpecificClass, 0});
  AppendBulkEndpoint(out, kCommandEndpoint);
  AppendBulkEndpoint(out, kReplyEndpoint);
  AppendBulkEndpoint(out, kFrameEndpoint);
  return out;
}

host::UsbTransferResult ServeDescriptor(const DeviceIdentity& identity, uint8_t type, uint8_t index, uint8_t* buffer,
                                        uint32_t length) {
  std::vector<uint8_t> descriptor;
  if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) descriptor = DeviceDescriptor(identity);
  else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) descriptor = ConfigurationDescriptorSet();
  else return {USBD_STATUS_STALL_PID, 0};
  if (buffer == nullptr) length = 0;
  uint32_t bytes = std::min<uint32_t>(length, uint32_t(descriptor.size()));
  if (bytes > 0) memcpy(buffer, descriptor.data(), bytes);
  return {USBD_STATUS_SUCCESS, bytes};
}

}  // namespace sim
