#include "contract/camera_contract.h"

namespace {

using namespace std::chrono_literals;

uint16_t Le16(const std::vector<uint8_t>& bytes, size_t at) { return uint16_t(bytes[at] | bytes[at + 1] << 8); }

struct Endpoint {
  uint8_t address;
  uint8_t attributes;
  uint16_t maxPacket;
};

// The endpoints of the configuration's first interface, in descriptor order.
std::vector<Endpoint> FirstInterfaceEndpoints(const std::vector<uint8_t>& set) {
  std::vector<Endpoint> endpoints;
  bool inFirst = false;
  for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2 && at + set[at] <= set.size(); at += set[at]) {
    if (set[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (inFirst) break;
      inFirst = true;
    } else if (inFirst && set[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && set[at] >= 7) {
      endpoints.push_back({set[at + 2], set[at + 3], Le16(set, at + 4)});
    }
  }
  return endpoints;
}

bool BulkOrInterrupt(const Endpoint& e) {
  uint8_t type = e.attributes & USB_ENDPOINT_TYPE_MASK;
  return type == USB_ENDPOINT_TYPE_BULK || type == USB_ENDPOINT_TYPE_INTERRUPT;
}

// A small window, as the driver programs one, and the frame size it derives.
constexpr uint32_t kWindowWidth = 96, kWindowHeight = 40;

uint32_t SmallFrameBytes(uint32_t lineOffset) {
  uint32_t rowPitch = lineOffset + kWindowWidth + 16;
  uint32_t natural = rowPitch * kWindowHeight + lineOffset;
  return (natural + 1023) / 1024 * 1024;
}

}  // namespace

void CameraContract::SetUp() {
  if (!GetParam().unavailable.empty()) GTEST_SKIP() << GetParam().unavailable;
  device_ = Plug(true);
}

void CameraContract::TearDown() {
  if (device_) device_->Detach();
}

std::unique_ptr<host::UsbDeviceModel> CameraContract::Plug(bool firmwareRunning) {
  if (device_) device_->Detach();
  auto device = GetParam().make(firmwareRunning);
  device->Attach(&sink_);
  probe_ = std::make_unique<probe::DeviceProbe>(*device);
  std::vector<uint8_t> set = probe_->ConfigurationSet();
  if (set.size() >= 9) {
    EXPECT_EQ(device->SelectConfiguration(set[5]), USBD_STATUS_SUCCESS);
  }
  return device;
}

// --- Identity and configuration ---------------------------------------------

TEST_P(CameraContract, PresentsTheBridgeIdentityUntilTheCameraFirmwareRuns) {
  device_ = Plug(false);
  std::vector<uint8_t> descriptor = probe_->DeviceDescriptor();
  ASSERT_EQ(descriptor.size(), 18u);
  EXPECT_EQ(descriptor[0], 18);
  EXPECT_EQ(descriptor[1], USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_GE(descriptor[17], 1) << "at least one configuration";
  std::pair<uint16_t, uint16_t> camera{GetParam().cameraVendorId, GetParam().cameraProductId};
  EXPECT_NE(probe_->Identity(), camera);

  probe_->LoadFirmware(GetParam().cameraFirmware);
  EXPECT_EQ(probe_->Identity(), camera) << "re-enumerated with the camera's identifiers";
}

TEST_P(CameraContract, PresentsTheCameraIdentityWhenItsFirmwareRuns) {
  EXPECT_EQ(probe_->Identity(), std::make_pair(GetParam().cameraVendorId, GetParam().cameraProductId));
}

TEST_P(CameraContract, DescriptorRequestsReturnAtMostTheRequestedLength) {
  EXPECT_EQ(probe_->Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 8).size(), 8u);
  EXPECT_EQ(probe_->Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 64).size(), 18u);
  std::vector<uint8_t> head = probe_->Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
  ASSERT_EQ(head.size(), 9u);
  uint16_t total = Le16(head, 2);
  EXPECT_EQ(probe_->Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, total + 100).size(), total);
}

TEST_P(CameraContract, FirstInterfaceHasCommandReplyAndFramePipes) {
  std::vector<uint8_t> set = probe_->ConfigurationSet();
  ASSERT_GE(set.size(), 9u + 9u + 3 * 7u);
  EXPECT_EQ(set[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(Le16(set, 2), set.size());
  EXPECT_GE(set[4], 1) << "interfaces";
  std::vector<Endpoint> endpoints = FirstInterfaceEndpoints(set);
  ASSERT_GE(endpoints.size(), 3u);
  for (int pipe = 0; pipe < 3; ++pipe) EXPECT_TRUE(BulkOrInterrupt(endpoints[pipe])) << "pipe " << pipe;
  EXPECT_EQ(endpoints[0].address & 0x80, 0) << "pipe 0 carries commands out";
  EXPECT_EQ(endpoints[1].address & 0x80, 0x80) << "pipe 1 carries replies in";
  EXPECT_EQ(endpoints[2].address & 0x80, 0x80) << "pipe 2 carries frames in";
  EXPECT_GE(endpoints[0].maxPacket, 64);
  EXPECT_GE(endpoints[1].maxPacket, 64);
}

// --- Registers and replies ----------------------------------------------------

TEST_P(CameraContract, RegisterReadAnswersTwoPacketsWithTheValueMostSignificantFirst) {
  ASSERT_EQ(probe_->Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  auto first = probe_->Reply();
  auto second = probe_->Reply();
  ASSERT_TRUE(first && second);
  std::vector<uint8_t> command(64, 0);
  command[0] = 0x0C;
  EXPECT_EQ(*first, command) << "the first packet echoes the command: the driver pairs replies by it";
  ASSERT_EQ(second->size(), 64u);
  EXPECT_EQ((*second)[0], GetParam().chipId >> 8);
  EXPECT_EQ((*second)[1], GetParam().chipId & 0xFF);
  EXPECT_FALSE(probe_->Reply(30ms)) << "exactly two packets";
}

TEST_P(CameraContract, IdentifiesTheChipVariant) {
  auto chip = probe_->ReadRegister(0x00);
  auto variant = probe_->ReadRegister(0xFD);
  ASSERT_TRUE(chip && variant);
  EXPECT_EQ(*chip, GetParam().chipId);
  uint32_t lineOffset = (*chip == 0x1800 || (*variant & 0x7E0) == 0xE0) ? 608 : 884;
  EXPECT_EQ(lineOffset, GetParam().lineOffset);
}

TEST_P(CameraContract, RegisterWritesReadBackUnchanged) {
  // The registers the driver reads, modifies and writes back, and the ones it sets.
  const std::pair<uint8_t, uint16_t> writes[] = {
      {0x1E, 0x0340}, {0x20, 0xC040}, {0x35, 63}, {0x09, 6400}, {0x08, 0}, {0x01, 54 + 101}, {0x04, 639}};
  for (auto [number, value] : writes) ASSERT_TRUE(probe_->WriteRegister(number, value));
  for (auto [number, value] : writes) EXPECT_EQ(probe_->ReadRegister(number), value) << "register " << int(number);
}

TEST_P(CameraContract, HalfClockQueryFollowsTheHalfClockCommand) {
  auto query = [&]() -> std::optional<uint8_t> {
    if (probe_->Command({0x24}) != USBD_STATUS_SUCCESS) return std::nullopt;
    auto first = probe_->Reply();
    auto second = probe_->Reply();
    if (!first || !second || second->size() != 64) return std::nullopt;
    return (*second)[0];
  };
  ASSERT_EQ(probe_->Command({0x23, 1}), USBD_STATUS_SUCCESS);
  EXPECT_NE(query(), std::optional<uint8_t>(0));
  EXPECT_TRUE(query().has_value());
  ASSERT_EQ(probe_->Command({0x23, 0}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(query(), std::optional<uint8_t>(0));
}

TEST_P(CameraContract, CommandsWithoutAnswerQueueNoReply) {
  for (auto command : {std::initializer_list<uint8_t>{0x06}, {0x0A, 0}, {0x20, 0x03, 0x50}, {0x09, 0, 0x10, 0, 0},
                       {0x04, 0x35, 0, 14}, {0x23, 0}, {0x02}})
    ASSERT_EQ(probe_->Command(command), USBD_STATUS_SUCCESS);
  EXPECT_FALSE(probe_->Reply(50ms));
  // Replies stay paired with the read that asked for them.
  EXPECT_EQ(probe_->ReadRegister(0x35), 14);
}

// --- Frames -------------------------------------------------------------------

TEST_P(CameraContract, GoSendsExactlyTheFrameSizeSet) {
  probe_->ProgramWindow(0, 0, kWindowWidth, kWindowHeight);
  for (uint32_t size : {SmallFrameBytes(GetParam().lineOffset), 65536u + 1024u}) {
    ASSERT_TRUE(probe_->SetFrameSize(size));
    ASSERT_EQ(probe_->Command({0x02}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(probe_->Frame(size).size(), size);
    EXPECT_EQ(probe_->Trailing(), 0u) << "nothing beyond the frame size, size " << size;
  }
}

TEST_P(CameraContract, EveryGoSendsOneWholeFrame) {
  probe_->ProgramWindow(0, 0, kWindowWidth, kWindowHeight);
  uint32_t size = SmallFrameBytes(GetParam().lineOffset);
  ASSERT_TRUE(probe_->SetFrameSize(size));
  for (int frame = 0; frame < 3; ++frame) {
    EXPECT_EQ(probe_->Frame(size).size(), size) << "frame " << frame;
    EXPECT_EQ(probe_->Trailing(), 0u);
  }
}

TEST_P(CameraContract, HaltHoldsFrameOutput) {
  probe_->ProgramWindow(0, 0, kWindowWidth, kWindowHeight);
  uint32_t size = SmallFrameBytes(GetParam().lineOffset);
  ASSERT_TRUE(probe_->SetFrameSize(size));
  ASSERT_EQ(probe_->Command({0x02}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(probe_->Trailing(50ms), 0u) << "no frame before go";

  // A halt in the middle of a frame drops the rest of it, so a timed-out
  // frame never spills into the next one.
  ASSERT_EQ(probe_->Command({0x03}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(probe_->ReadStream(1024, 2000ms).size(), 1024u);
  ASSERT_EQ(probe_->Command({0x02}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(probe_->Trailing(50ms), 0u);

  ASSERT_EQ(probe_->Command({0x02}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(probe_->Frame(size).size(), size);
  EXPECT_EQ(probe_->Trailing(), 0u);
}
