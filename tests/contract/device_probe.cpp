#include "contract/device_probe.h"

#include <algorithm>
#include <thread>

namespace probe {

namespace {

using Clock = std::chrono::steady_clock;

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); }

}  // namespace

std::vector<uint8_t> DeviceProbe::Descriptor(uint8_t type, uint32_t length, USBD_STATUS* status) {
  std::vector<uint8_t> buffer(length);
  host::UsbTransferResult result = device_.GetDescriptor(type, 0, 0, buffer.data(), length);
  if (status != nullptr) *status = result.status;
  buffer.resize(USBD_SUCCESS(result.status) ? std::min(result.bytes, length) : 0);
  return buffer;
}

std::vector<uint8_t> DeviceProbe::ConfigurationSet() {
  std::vector<uint8_t> head = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
  if (head.size() < 4) return {};
  return Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, Le16(head, 2));
}

std::pair<uint16_t, uint16_t> DeviceProbe::Identity() {
  std::vector<uint8_t> descriptor = DeviceDescriptor();
  if (descriptor.size() < 12) return {0, 0};
  return {Le16(descriptor, 8), Le16(descriptor, 10)};
}

USBD_STATUS DeviceProbe::Vendor(uint8_t request, uint16_t value, std::vector<uint8_t> data) {
  return device_.VendorRequest(false, request, value, 0, data.data(), uint32_t(data.size())).status;
}

void DeviceProbe::LoadFirmware(const std::vector<uint8_t>& image, uint16_t address) {
  Vendor(0xA0, 0x7F92, {1});
  Vendor(0xA0, 0xE600, {1});
  for (size_t at = 0; at < image.size(); at += 16) {
    size_t end = std::min(image.size(), at + 16);
    Vendor(0xA0, uint16_t(address + at), std::vector<uint8_t>(image.begin() + at, image.begin() + end));
  }
  Vendor(0xA0, 0x7F92, {0});
  Vendor(0xA0, 0xE600, {0});
}

USBD_STATUS DeviceProbe::Command(std::initializer_list<uint8_t> bytes) {
  std::array<uint8_t, 64> packet{};
  std::copy(bytes.begin(), bytes.end(), packet.begin());
  host::UsbTransferResult result = device_.BulkOut(kCommandEndpoint, packet.data(), 64);
  if (USBD_SUCCESS(result.status) && result.bytes != 64) return USBD_STATUS_ERROR_SHORT_TRANSFER;
  return result.status;
}

std::optional<std::vector<uint8_t>> DeviceProbe::Reply(std::chrono::milliseconds wait) {
  std::vector<uint8_t> packet(64);
  Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    host::UsbInResult result = device_.BulkIn(kReplyEndpoint, packet.data(), 64);
    if (!USBD_SUCCESS(result.status)) return std::nullopt;
    if (result.bytes > 0) {
      packet.resize(result.bytes);
      return packet;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(200us);
  }
}

std::optional<uint16_t> DeviceProbe::ReadRegister(uint8_t number) {
  if (!USBD_SUCCESS(Command({0x0C, number}))) return std::nullopt;
  auto first = Reply();
  auto second = Reply();
  if (!first || !second || first->size() != 64 || second->size() != 64) return std::nullopt;
  return uint16_t((*second)[0] << 8 | (*second)[1]);
}

bool DeviceProbe::WriteRegister(uint8_t number, uint16_t value) {
  return USBD_SUCCESS(Command({0x04, number, uint8_t(value >> 8), uint8_t(value)}));
}

bool DeviceProbe::SetFrameSize(uint32_t bytes) {
  return USBD_SUCCESS(Command({0x0A, 0})) &&
         USBD_SUCCESS(Command({0x09, uint8_t(bytes), uint8_t(bytes >> 8), uint8_t(bytes >> 16), uint8_t(bytes >> 24)}));
}

void DeviceProbe::ProgramWindow(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint16_t skipCode) {
  WriteRegister(0x01, uint16_t(y + 54));
  WriteRegister(0x02, uint16_t(x + 16));
  WriteRegister(0x03, uint16_t(height - 1));
  WriteRegister(0x04, uint16_t(width - 1));
  WriteRegister(0x22, skipCode);
  WriteRegister(0x23, skipCode);
}

std::vector<uint8_t> DeviceProbe::ReadStream(uint64_t limit, std::chrono::milliseconds quiet,
                                             std::chrono::milliseconds wait) {
  std::vector<uint8_t> data;
  std::vector<uint8_t> transfer(kChunkBytes);
  uint32_t filled = 0;
  Clock::time_point lastData = Clock::now();
  Clock::time_point firstDeadline = lastData + wait;
  while (data.size() + filled < limit) {
    uint32_t room = uint32_t(std::min<uint64_t>(kChunkBytes - filled, limit - data.size() - filled));
    host::UsbInResult result = device_.BulkIn(kFrameEndpoint, transfer.data() + filled, room);
    filled += result.bytes;
    bool transferDone = result.transferEnds || filled == kChunkBytes || !USBD_SUCCESS(result.status);
    if (transferDone || data.size() + filled >= limit) {
      data.insert(data.end(), transfer.begin(), transfer.begin() + filled);
      filled = 0;
    }
    if (!USBD_SUCCESS(result.status)) break;
    Clock::time_point now = Clock::now();
    if (result.bytes > 0) {
      lastData = now;
      continue;
    }
    bool started = !data.empty() || filled > 0;
    if (now - lastData >= quiet && (started || now >= firstDeadline)) break;
    std::this_thread::sleep_for(100us);
  }
  data.insert(data.end(), transfer.begin(), transfer.begin() + filled);
  return data;
}

std::vector<uint8_t> DeviceProbe::Frame(uint64_t expected) {
  if (!USBD_SUCCESS(Command({0x03}))) return {};
  return ReadStream(expected, 2000ms);
}

size_t DeviceProbe::Trailing(std::chrono::milliseconds window) { return ReadStream(kChunkBytes, window, window).size(); }

}  // namespace probe
