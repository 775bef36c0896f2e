// Drives a USB device model straight through its interface, the way the
// driver's requests reach it over the bus: 64-byte command packets, reply and
// frame transfers, descriptor and firmware-load requests.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <optional>
#include <vector>

#include "platform/usb_bus.h"

namespace probe {

using namespace std::chrono_literals;

constexpr uint8_t kCommandEndpoint = 0x01;
constexpr uint8_t kReplyEndpoint = 0x81;
constexpr uint8_t kFrameEndpoint = 0x82;
constexpr uint32_t kChunkBytes = 65536;  // the driver's frame request size

// Counts the device's "IN data available" calls; notes any after Detach.
class RecordingSink final : public host::UsbBusSink {
 public:
  void InDataAvailable() override {
    ++calls;
    if (detached) ++callsAfterDetach;
  }
  std::atomic<uint64_t> calls{0};
  std::atomic<bool> detached{false};
  std::atomic<uint64_t> callsAfterDetach{0};
};

class DeviceProbe {
 public:
  explicit DeviceProbe(host::UsbDeviceModel& device) : device_(device) {}

  // --- Descriptors and firmware load ---
  std::vector<uint8_t> Descriptor(uint8_t type, uint32_t length, USBD_STATUS* status = nullptr);
  std::vector<uint8_t> DeviceDescriptor() { return Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18); }
  // The whole configuration descriptor set, as long as its wTotalLength says.
  std::vector<uint8_t> ConfigurationSet();
  // Vendor identifier (offset 8) and product identifier (offset 10).
  std::pair<uint16_t, uint16_t> Identity();
  USBD_STATUS Vendor(uint8_t request, uint16_t value, std::vector<uint8_t> data);
  // What the driver does: hold the CPU in reset (alias, then the control
  // register), load the image with 0xA0 in 16-byte records, release it.
  void LoadFirmware(const std::vector<uint8_t>& image, uint16_t address = 0);

  // --- Commands and replies ---
  USBD_STATUS Command(std::initializer_list<uint8_t> bytes);
  // One reply transfer of 64 bytes; nullopt if none arrives within `wait`.
  std::optional<std::vector<uint8_t>> Reply(std::chrono::milliseconds wait = 2000ms);
  std::optional<uint16_t> ReadRegister(uint8_t number);
  bool WriteRegister(uint8_t number, uint16_t value);
  bool SetFrameSize(uint32_t bytes);
  // Programs the window and skipping as the driver does (offsets included).
  void ProgramWindow(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint16_t skipCode = 0);

  // --- Frames ---
  // Reads the frame endpoint in 64 KiB transfers until `limit` bytes came or
  // nothing arrived for `quiet` (and never longer than `wait` for the first).
  std::vector<uint8_t> ReadStream(uint64_t limit, std::chrono::milliseconds quiet = 100ms,
                                  std::chrono::milliseconds wait = 5000ms);
  // Go, then the first `expected` bytes the frame endpoint sends.
  std::vector<uint8_t> Frame(uint64_t expected);
  // Bytes the frame endpoint sends within `window` (none expected after a
  // whole frame or a halt).
  size_t Trailing(std::chrono::milliseconds window = 30ms);

 private:
  host::UsbDeviceModel& device_;
};

}  // namespace probe
