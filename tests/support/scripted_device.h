// A USB device for tests whose descriptors and answers the test sets: the
// well-behaved camera identity by default, or hostile variants.
#pragma once

#include <stdint.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/usb_bus.h"

namespace test {

struct EndpointSpec {
  uint8_t address;
  uint8_t attributes;  // USB_ENDPOINT_TYPE_*
  uint16_t maxPacket = 512;
};

struct InterfaceSpec {
  uint8_t number;
  std::vector<EndpointSpec> endpoints;
  int announcedEndpoints = -1;  // bNumEndpoints, when it should lie
};

std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product);
// A configuration descriptor set; announcedInterfaces < 0 counts the interfaces.
std::vector<uint8_t> Configuration(const std::vector<InterfaceSpec>& interfaces, int announcedInterfaces = -1);
// The camera's own layout: one interface, commands out, replies in, frames in.
std::vector<InterfaceSpec> CameraInterface();

class ScriptedDevice : public host::UsbDeviceModel {
 public:
  ScriptedDevice();

  // Set before plugging in or under the device's own serialisation.
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  USBD_STATUS deviceDescriptorStatus = USBD_STATUS_SUCCESS;
  USBD_STATUS configurationStatus = USBD_STATUS_SUCCESS;
  USBD_STATUS selectConfigurationStatus = USBD_STATUS_SUCCESS;  // of selecting a configuration (not 0)
  int64_t configurationBytesLimit = -1;  // return at most this many bytes of the configuration
  bool answerRegisterReads = true;       // queue the two replies of a register read
  int stallCommand = -1;    // a command with this code in byte 0 fails with a stall (after the hook)
  bool sendFrames = false;  // answer the go command (0x03) with a frame of the size command's length

  // Called on the bus thread with every command packet before it is carried
  // out; it may block to hold the camera in the middle of a sequence.
  void SetCommandHook(std::function<void(const std::vector<uint8_t>&)> hook);

  std::vector<std::vector<uint8_t>> Commands();
  uint16_t Register(uint8_t number);
  void SetRegister(uint8_t number, uint16_t value);
  uint8_t SelectedConfiguration();

  host::UsbTransferResult GetDescriptor(uint8_t type, uint8_t index, uint16_t language, uint8_t* buffer,
                                        uint32_t length) override;
  USBD_STATUS SelectConfiguration(uint8_t value) override;
  host::UsbTransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) override;
  host::UsbInResult BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) override;
  void Attach(host::UsbBusSink* bus) override;
  void Detach() override;

 private:
  std::mutex lock_;
  host::UsbBusSink* bus_ = nullptr;
  std::vector<std::vector<uint8_t>> commands_;
  std::map<uint8_t, uint16_t> registers_;
  std::deque<std::vector<uint8_t>> replies_;
  uint8_t selected_ = 0;
  std::function<void(const std::vector<uint8_t>&)> hook_;
  uint32_t frameSize_ = 0;       // from the last frame-size command
  uint32_t frameRemaining_ = 0;  // bytes of the frame in flight still to send
};

}  // namespace test
