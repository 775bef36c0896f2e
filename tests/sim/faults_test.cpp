// Faults the camera shows on request, and what it does with bad input.
#include <gtest/gtest.h>

#include "sim_rig.h"

namespace {

using namespace std::chrono_literals;

sim::CameraFaults With(void (*set)(sim::CameraFaults&)) {
  sim::CameraFaults faults;
  set(faults);
  return faults;
}

// A small frame keeps the fault tests quick.
void SmallFrame(SimRig& rig, uint32_t bytes = 8192) {
  rig.probe.ProgramWindow(0, 0, 64, 32);
  rig.probe.SetFrameSize(bytes);
}

TEST(SimFaults, SilentCameraSendsNothingAfterGoUntilHealed) {
  SimRig rig;
  SmallFrame(rig);
  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.silent = true; }));
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(rig.probe.Trailing(50ms), 0u);
  EXPECT_EQ(rig.camera.FramesSent(), 0u);
  rig.camera.SetFaults({});
  EXPECT_EQ(rig.probe.Frame(8192).size(), 8192u);
  EXPECT_EQ(rig.camera.FramesSent(), 1u);
}

TEST(SimFaults, CameraStopsMidFrameAfterTheGivenBytes) {
  SimRig rig;
  SmallFrame(rig);
  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.stopAfterBytes = 5000; }));
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(rig.probe.ReadStream(8192, 50ms).size(), 5000u);
  EXPECT_EQ(rig.camera.FramesSent(), 0u);
}

TEST(SimFaults, ReplyFaults) {
  SimRig rig;
  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.noReplies = true; }));
  ASSERT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  EXPECT_FALSE(rig.probe.Reply(20ms));

  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.firstReplyOnly = true; }));
  ASSERT_EQ(rig.probe.Command({0x24}), USBD_STATUS_SUCCESS);
  EXPECT_TRUE(rig.probe.Reply(20ms));
  EXPECT_FALSE(rig.probe.Reply(20ms));

  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.shortReplyBytes = 10; }));
  ASSERT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> packet(64);
  host::UsbInResult result = rig.camera.BulkIn(sim::kReplyEndpoint, packet.data(), 64);
  EXPECT_EQ(result.bytes, 10u);
  EXPECT_TRUE(result.transferEnds) << "a short packet ends the transfer";
}

TEST(SimFaults, StalledPipesRecoverOnResetWithoutLosingReplies) {
  SimRig rig;
  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.stallCommandPipe = true; }));
  EXPECT_EQ(rig.probe.Command({0x04, 0x35, 0, 20}), USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.probe.Command({0x04, 0x35, 0, 20}), USBD_STATUS_STALL_PID) << "stays halted";
  EXPECT_EQ(rig.camera.Register(0x35), 14) << "a stalled command does nothing";
  EXPECT_EQ(rig.camera.ResetPipe(sim::kCommandEndpoint), USBD_STATUS_SUCCESS);
  EXPECT_EQ(rig.probe.Command({0x04, 0x35, 0, 20}), USBD_STATUS_SUCCESS);

  rig.camera.SetFaults(With([](sim::CameraFaults& f) { f.stallReplyPipe = true; }));
  ASSERT_EQ(rig.probe.Command({0x0C, 0x35}), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> packet(64);
  EXPECT_EQ(rig.camera.BulkIn(sim::kReplyEndpoint, packet.data(), 64).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.ResetPipe(sim::kReplyEndpoint), USBD_STATUS_SUCCESS);
  EXPECT_TRUE(rig.probe.Reply());
  auto value = rig.probe.Reply();
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)[1], 20);
}

TEST(SimFaults, PortResetFlushesRepliesAndTheFrameButKeepsTheFirmware) {
  SimRig rig;
  SmallFrame(rig);
  ASSERT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  rig.camera.PortReset();
  EXPECT_FALSE(rig.probe.Reply(10ms));
  EXPECT_EQ(rig.probe.Trailing(), 0u);
  EXPECT_TRUE(rig.camera.FirmwareRunning());
  EXPECT_EQ(rig.camera.FrameSize(), 8192u);
  EXPECT_EQ(rig.probe.Frame(8192).size(), 8192u);
}

// --- Bad input ----------------------------------------------------------------

TEST(SimMalformedInput, CommandsOfTheWrongLengthHaltTheCommandPipe) {
  SimRig rig;
  std::vector<uint8_t> bytes(65, 0);
  bytes[0] = 0x06;
  for (uint32_t length : {0u, 1u, 63u, 65u}) {
    EXPECT_EQ(rig.camera.BulkOut(sim::kCommandEndpoint, bytes.data(), length).status, USBD_STATUS_STALL_PID)
        << length << " bytes";
    EXPECT_EQ(rig.probe.Command({0x06}), USBD_STATUS_STALL_PID) << "halted until reset";
    EXPECT_EQ(rig.camera.ResetPipe(sim::kCommandEndpoint), USBD_STATUS_SUCCESS);
  }
  EXPECT_EQ(rig.camera.BulkOut(sim::kCommandEndpoint, nullptr, 64).status, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(rig.camera.Commands().empty()) << "nothing was executed";
}

TEST(SimMalformedInput, UnknownCommandsAreRecordedAndIgnored) {
  SimRig rig;
  ASSERT_EQ(rig.probe.Command({0x7E, 0x35, 0xFF, 0xFF}), USBD_STATUS_SUCCESS);
  ASSERT_EQ(rig.probe.Command({0xFF}), USBD_STATUS_SUCCESS);
  EXPECT_FALSE(rig.probe.Reply(20ms));
  EXPECT_EQ(rig.camera.Register(0x35), 14);
  std::vector<sim::CommandPacket> commands = rig.camera.Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].size(), 64u);
  EXPECT_EQ(commands[0][0], 0x7E);
  EXPECT_EQ(commands[1][0], 0xFF);
}

TEST(SimMalformedInput, RequestsForThingsTheCameraLacksStall) {
  SimRig rig;
  uint8_t buffer[512] = {};
  EXPECT_EQ(rig.camera.BulkOut(0x02, buffer, 64).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.BulkIn(0x83, buffer, 512).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.ResetPipe(0x83), USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.SelectConfiguration(2), USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, buffer, 255).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, buffer, 255).status,
            USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.camera.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18).bytes, 0u);
}

TEST(SimMalformedInput, ReplyLargerThanItsTransferOverrunsAndIsConsumed) {
  SimRig rig;
  ASSERT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  uint8_t small[16];
  host::UsbInResult result = rig.camera.BulkIn(sim::kReplyEndpoint, small, sizeof small);
  EXPECT_LT(result.status, 0);
  EXPECT_EQ(result.bytes, 16u);
  EXPECT_EQ(rig.camera.PendingReplies(), 1u) << "the value packet is still there";
}

TEST(SimMalformedInput, AbsurdFrameSizesAreHonouredWithoutStoringThem) {
  SimRig rig(SceneOptions("ramp"));
  rig.probe.ProgramWindow(0, 0, 64, 32);
  ASSERT_TRUE(rig.probe.SetFrameSize(0xFFFFFC00u));  // 4 GiB
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> start = rig.probe.ReadStream(3 * 65536, 1000ms);
  ASSERT_EQ(start.size(), 3u * 65536);
  EXPECT_EQ(start[608 + 2 * (608 + 64 + 16) + 5], 5 + 7 * 2) << "rows as usual: ramp sample (5, 2)";
  EXPECT_EQ(start.back(), sim::kFillerByte) << "filler beyond the rows";
  ASSERT_EQ(rig.probe.Command({0x02}), USBD_STATUS_SUCCESS);

  ASSERT_TRUE(rig.probe.SetFrameSize(0));
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(rig.probe.Trailing(), 0u);
  EXPECT_EQ(rig.camera.FramesSent(), 1u) << "an empty frame is done at once";
}

TEST(SimMalformedInput, IdentificationRegistersAreReadOnly) {
  SimRig rig(SceneOptions("chart", sim::SensorChip::Rev1801Long));
  rig.probe.WriteRegister(0x00, 0x1800);
  rig.probe.WriteRegister(0xFD, 0x00E0);
  EXPECT_EQ(rig.probe.ReadRegister(0x00), 0x1801);
  EXPECT_EQ(rig.camera.Layout().lineOffset, 884u);
}

}  // namespace
