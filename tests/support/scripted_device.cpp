#include "support/scripted_device.h"

#include <string.h>

#include "usb/usb_device.h"

namespace test {

std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product) {
  return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64, uint8_t(vendor), uint8_t(vendor >> 8),
          uint8_t(product), uint8_t(product >> 8), 0x00, 0x01, 0, 0, 0, 1};
}

std::vector<uint8_t> Configuration(const std::vector<InterfaceSpec>& interfaces, int announcedInterfaces) {
  std::vector<uint8_t> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                uint8_t(announcedInterfaces < 0 ? interfaces.size() : announcedInterfaces),
                                1, 0, 0x80, 50};
  for (const InterfaceSpec& interface : interfaces) {
    uint8_t announced = uint8_t(interface.announcedEndpoints < 0 ? interface.endpoints.size()
                                                                  : interface.announcedEndpoints);
    bytes.insert(bytes.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, interface.number, 0, announced, 0xFF, 0, 0, 0});
    for (const EndpointSpec& endpoint : interface.endpoints)
      bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address, endpoint.attributes,
                                 uint8_t(endpoint.maxPacket), uint8_t(endpoint.maxPacket >> 8), 0});
  }
  bytes[2] = uint8_t(bytes.size());
  bytes[3] = uint8_t(bytes.size() >> 8);
  return bytes;
}

std::vector<InterfaceSpec> CameraInterface() {
  return {{0,
           {{0x01, USB_ENDPOINT_TYPE_BULK}, {0x81, USB_ENDPOINT_TYPE_BULK}, {0x82, USB_ENDPOINT_TYPE_BULK}}}};
}

ScriptedDevice::ScriptedDevice()
    : deviceDescriptor(DeviceDescriptor(kCameraFirmwareVendorId, kCameraFirmwareProductId)),
      configuration(Configuration(CameraInterface())) {}

std::vector<std::vector<uint8_t>> ScriptedDevice::Commands() {
  std::lock_guard<std::mutex> guard(lock_);
  return commands_;
}

uint16_t ScriptedDevice::Register(uint8_t number) {
  std::lock_guard<std::mutex> guard(lock_);
  return registers_[number];
}

void ScriptedDevice::SetRegister(uint8_t number, uint16_t value) {
  std::lock_guard<std::mutex> guard(lock_);
  registers_[number] = value;
}

uint8_t ScriptedDevice::SelectedConfiguration() {
  std::lock_guard<std::mutex> guard(lock_);
  return selected_;
}

void ScriptedDevice::Attach(host::UsbBusSink* bus) {
  std::lock_guard<std::mutex> guard(lock_);
  bus_ = bus;
}

void ScriptedDevice::Detach() {
  std::lock_guard<std::mutex> guard(lock_);
  bus_ = nullptr;
}

host::UsbTransferResult ScriptedDevice::GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                                                      uint8_t* buffer, uint32_t length) {
  const std::vector<uint8_t>* source = nullptr;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  uint32_t limit = length;
  if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
    source = &deviceDescriptor;
    status = deviceDescriptorStatus;
  } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    source = &configuration;
    status = configurationStatus;
    if (configurationBytesLimit >= 0 && uint32_t(configurationBytesLimit) < limit) limit = uint32_t(configurationBytesLimit);
  } else {
    return {USBD_STATUS_STALL_PID, 0};
  }
  if (!USBD_SUCCESS(status)) return {status, 0};
  uint32_t bytes = uint32_t(source->size()) < limit ? uint32_t(source->size()) : limit;
  memcpy(buffer, source->data(), bytes);
  return {USBD_STATUS_SUCCESS, bytes};
}

USBD_STATUS ScriptedDevice::SelectConfiguration(uint8_t value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (value != 0 && !USBD_SUCCESS(selectConfigurationStatus)) return selectConfigurationStatus;
  selected_ = value;
  return USBD_STATUS_SUCCESS;
}

void ScriptedDevice::SetCommandHook(std::function<void(const std::vector<uint8_t>&)> hook) {
  std::lock_guard<std::mutex> guard(lock_);
  hook_ = std::move(hook);
}

host::UsbTransferResult ScriptedDevice::BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) {
  host::UsbBusSink* bus;
  std::function<void(const std::vector<uint8_t>&)> hook;
  {
    std::lock_guard<std::mutex> guard(lock_);
    hook = hook_;
  }
  if (hook) hook(std::vector<uint8_t>(data, data + length));
  if (length >= 1 && data[0] == stallCommand) return {USBD_STATUS_STALL_PID, 0};
  {
    std::lock_guard<std::mutex> guard(lock_);
    commands_.emplace_back(data, data + length);
    bus = bus_;
    if (length >= 4 && data[0] == 0x04) registers_[data[1]] = uint16_t(data[2] << 8 | data[3]);
    if (length >= 5 && data[0] == 0x09) frameSize_ = uint32_t(data[1] | data[2] << 8 | data[3] << 16 | uint32_t(data[4]) << 24);
    if (length >= 1 && data[0] == 0x03 && sendFrames) frameRemaining_ = frameSize_;
    if (length >= 2 && data[0] == 0x0C && answerRegisterReads) {
      // The camera firmware echoes the command first, then answers.
      std::vector<uint8_t> first(data, data + (length < 64 ? length : 64)), second(64, 0);
      first.resize(64, 0);
      uint16_t value = registers_[data[1]];
      second[0] = uint8_t(value >> 8);
      second[1] = uint8_t(value);
      replies_.push_back(first);
      replies_.push_back(second);
    }
  }
  if (bus != nullptr) bus->InDataAvailable();
  return {USBD_STATUS_SUCCESS, length};
}

host::UsbInResult ScriptedDevice::BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> guard(lock_);
  if (endpointAddress == 0x82 && frameRemaining_ > 0) {
    uint32_t bytes = frameRemaining_ < capacity ? frameRemaining_ : capacity;
    memset(buffer, 0x5A, bytes);
    frameRemaining_ -= bytes;
    return {USBD_STATUS_SUCCESS, bytes, frameRemaining_ == 0};
  }
  if (endpointAddress != 0x81 || replies_.empty()) return {};
  std::vector<uint8_t> reply = replies_.front();
  replies_.pop_front();
  uint32_t bytes = uint32_t(reply.size()) < capacity ? uint32_t(reply.size()) : capacity;
  memcpy(buffer, reply.data(), bytes);
  return {USBD_STATUS_SUCCESS, bytes, true};
}

}  // namespace test
