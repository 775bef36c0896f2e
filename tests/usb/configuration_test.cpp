// Selecting the camera's configuration, with well-formed and hostile
// configuration descriptors, and the port and pipe requests.
#include <gtest/gtest.h>

#include "platform/host_pool.h"
#include "support/scripted_device.h"
#include "tools/client/camera_system.h"
#include "usb/command_packets.h"
#include "usb/usb_requests.h"

namespace {

using kscam::CameraSystem;
using test::EndpointSpec;
using test::InterfaceSpec;
using test::ScriptedDevice;

constexpr uint8_t kBulk = USB_ENDPOINT_TYPE_BULK;

struct Outcome {
  NTSTATUS start;
  bool hasDescriptor;
  bool hasInterface;
  ULONG pipes;
  bool hasMarks;
};

// Starts a device with the given descriptor set and reports what the driver
// kept; stops and removes it afterwards so that leaks show.
Outcome StartWith(std::unique_ptr<ScriptedDevice> device, bool synchronousBus = false) {
  CameraSystem system(std::move(device));
  system.Bus().SetSynchronousCompletion(synchronousBus);
  EXPECT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(system.AddDevice(), STATUS_SUCCESS);
  Outcome outcome{};
  outcome.start = system.StartDevice();
  UsbDevice& usb = system.Context()->usb;
  outcome.hasDescriptor = usb.configDescriptor != nullptr;
  outcome.hasInterface = usb.interfaceInfo != nullptr;
  outcome.pipes = usb.interfaceInfo ? usb.interfaceInfo->NumberOfPipes : 0;
  outcome.hasMarks = usb.pipeResetMarks != nullptr;
  return outcome;
}

std::unique_ptr<ScriptedDevice> DeviceWith(std::vector<uint8_t> configuration) {
  auto device = std::make_unique<ScriptedDevice>();
  device->configuration = std::move(configuration);
  return device;
}

class UsbConfiguration : public ::testing::Test {
 protected:
  void SetUp() override { baseline_ = host::PoolLiveAllocations(); }
  void TearDown() override { EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "pool allocations leaked"; }
  uint64_t baseline_ = 0;
};

TEST_F(UsbConfiguration, CameraConfigurationSelectsThreePipesOnBothCompletionPaths) {
  for (bool synchronous : {false, true}) {
    Outcome outcome = StartWith(std::make_unique<ScriptedDevice>(), synchronous);
    EXPECT_EQ(outcome.start, STATUS_SUCCESS);
    EXPECT_TRUE(outcome.hasDescriptor && outcome.hasInterface && outcome.hasMarks);
    EXPECT_EQ(outcome.pipes, 3u);
  }
}

TEST_F(UsbConfiguration, HostileTotalLengthsAreRefusedWithoutReadingBeyondTheBuffer) {
  auto tiny = test::Configuration(test::CameraInterface());
  tiny[2] = 4;  // wTotalLength below the header itself
  tiny[3] = 0;
  Outcome outcome = StartWith(DeviceWith(tiny));
  EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(outcome.hasDescriptor);

  // The header claims more than the device then returns.
  auto device = std::make_unique<ScriptedDevice>();
  device->configurationBytesLimit = 20;
  outcome = StartWith(std::move(device));
  EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(outcome.hasDescriptor);

  // A device that returns fewer than the nine header bytes.
  device = std::make_unique<ScriptedDevice>();
  device->configurationBytesLimit = 5;
  outcome = StartWith(std::move(device));
  EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(UsbConfiguration, MoreInterfacesAnnouncedThanPresentEndsTheSearchAt255) {
  Outcome outcome = StartWith(DeviceWith(test::Configuration(test::CameraInterface(), 3)));
  EXPECT_EQ(outcome.start, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(outcome.hasDescriptor) << "kept for stop to free";
  EXPECT_FALSE(outcome.hasInterface);

  outcome = StartWith(DeviceWith(test::Configuration({}, 0)));
  EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(UsbConfiguration, NonContiguousInterfaceNumbersAreBothFound) {
  std::vector<InterfaceSpec> interfaces = test::CameraInterface();
  interfaces.push_back({2, {{0x83, kBulk}}});
  Outcome outcome = StartWith(DeviceWith(test::Configuration(interfaces)));
  EXPECT_EQ(outcome.start, STATUS_SUCCESS);
  EXPECT_EQ(outcome.pipes, 3u) << "the first interface is the one kept";
}

TEST_F(UsbConfiguration, InterfacesWithFewPipesOrNoneConfigure) {
  Outcome outcome = StartWith(DeviceWith(test::Configuration({{0, {{0x01, kBulk}, {0x81, kBulk}}}})));
  EXPECT_EQ(outcome.start, STATUS_SUCCESS);
  EXPECT_EQ(outcome.pipes, 2u);

  outcome = StartWith(DeviceWith(test::Configuration({{0, {}}})));
  EXPECT_EQ(outcome.start, STATUS_SUCCESS);
  EXPECT_TRUE(outcome.hasInterface);
  EXPECT_EQ(outcome.pipes, 0u);
  EXPECT_FALSE(outcome.hasMarks);
}

TEST_F(UsbConfiguration, LyingEndpointCountsAndMalformedEntriesFailCleanly) {
  InterfaceSpec lying{0, {{0x01, kBulk}}, 3};
  Outcome outcome = StartWith(DeviceWith(test::Configuration({lying})));
  EXPECT_FALSE(NT_SUCCESS(outcome.start));
  EXPECT_FALSE(outcome.hasInterface);

}

// The platform's parser walks the descriptors by their own lengths and checks
// nothing (the host one stops with a fault where the platform's would loop or
// read past the buffer), so the driver refuses a malformed set before parsing.
TEST_F(UsbConfiguration, MalformedDescriptorsAreRefusedBeforeTheParserSeesThem) {
  const std::vector<uint8_t> good = test::Configuration(test::CameraInterface());
  auto withTotal = [](std::vector<uint8_t> set) {
    set[2] = uint8_t(set.size());
    set[3] = uint8_t(set.size() >> 8);
    return set;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> set;
  };
  std::vector<Case> cases;
  cases.push_back({"interface of length 0", good});
  cases.back().set[9] = 0;
  cases.push_back({"interface of length 1", good});
  cases.back().set[9] = 1;
  cases.push_back({"short interface descriptor", good});
  cases.back().set.insert(cases.back().set.begin() + 9, {4, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0});
  cases.back().set = withTotal(cases.back().set);
  cases.push_back({"short endpoint descriptor", good});
  cases.back().set.insert(cases.back().set.end(), {4, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x83, 2});
  cases.back().set = withTotal(cases.back().set);
  cases.push_back({"last descriptor runs one byte past the total length", good});
  cases.back().set.insert(cases.back().set.end(), {5, 0x24, 0, 0});
  cases.back().set = withTotal(cases.back().set);
  cases.push_back({"one stray byte at the end", good});
  cases.back().set.push_back(3);
  cases.back().set = withTotal(cases.back().set);
  cases.push_back({"configuration header of the wrong length", good});
  cases.back().set[0] = 8;
  cases.push_back({"configuration header of the wrong type", good});
  cases.back().set[1] = USB_INTERFACE_DESCRIPTOR_TYPE;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = StartWith(DeviceWith(c.set));
    EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);
    EXPECT_FALSE(outcome.hasDescriptor);
    EXPECT_FALSE(outcome.hasInterface);
  }
  // Descriptors of other kinds and of any valid length are walked over.
  std::vector<uint8_t> extra = good;
  extra.insert(extra.begin() + 9, {2, 0x0B});
  extra.insert(extra.end(), {5, 0x24, 1, 2, 3});
  Outcome outcome = StartWith(DeviceWith(withTotal(extra)));
  EXPECT_EQ(outcome.start, STATUS_SUCCESS);
  EXPECT_EQ(outcome.pipes, 3u);
}

// A hostile camera that gave its reply and frame endpoints one address made
// every register read wait out its time limit. The same number in the other
// direction is another endpoint, and an alternate setting may reuse them.
TEST_F(UsbConfiguration, AnEndpointAddressTwiceInOneSettingIsRefused) {
  Outcome outcome = StartWith(DeviceWith(test::Configuration({{0, {{0x01, kBulk}, {0x82, kBulk}, {0x82, kBulk}}}})));
  EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);
  EXPECT_FALSE(outcome.hasInterface);
  // The highest endpoint number in each direction is its own bit.
  outcome = StartWith(DeviceWith(test::Configuration({{0, {{0x0F, kBulk}, {0x8F, kBulk}, {0x8F, kBulk}}}})));
  EXPECT_EQ(outcome.start, STATUS_DEVICE_DATA_ERROR);

  outcome = StartWith(
      DeviceWith(test::Configuration({{0, {{0x0F, kBulk}, {0x8F, kBulk}, {0x81, kBulk}, {0x07, kBulk}}}})));
  EXPECT_EQ(outcome.start, STATUS_SUCCESS);
  EXPECT_EQ(outcome.pipes, 4u);
  std::vector<InterfaceSpec> interfaces = test::CameraInterface();
  interfaces.push_back({1, {{0x01, kBulk}, {0x81, kBulk}}});
  outcome = StartWith(DeviceWith(test::Configuration(interfaces)));
  EXPECT_EQ(outcome.start, STATUS_SUCCESS) << "another interface has endpoints of its own";
}

TEST_F(UsbConfiguration, FailingConfigurationRequestIsReported) {
  auto device = std::make_unique<ScriptedDevice>();
  device->configurationStatus = USBD_STATUS_STALL_PID;
  Outcome outcome = StartWith(std::move(device));
  EXPECT_EQ(outcome.start, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(outcome.hasDescriptor);
}

TEST_F(UsbConfiguration, PortIsResetOnlyWhenConnectedButDisabled) {
  CameraSystem system(std::make_unique<ScriptedDevice>());
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  UsbDevice* usb = &system.Context()->usb;
  struct Case {
    ULONG port;
    uint32_t resets;
    size_t requests;
  } cases[] = {
      {USBD_PORT_ENABLED | USBD_PORT_CONNECTED, 0, 1},
      {0, 0, 1},
      {USBD_PORT_CONNECTED, 1, 2},
  };
  for (const Case& c : cases) {
    system.Bus().SetPortStatus(c.port);
    system.Bus().ClearLog();
    uint32_t before = system.Bus().PortResets();
    EXPECT_EQ(ResetPortIfDisabled(usb), STATUS_SUCCESS);
    EXPECT_EQ(system.Bus().PortResets() - before, c.resets);
    EXPECT_EQ(system.Bus().Log().size(), c.requests);
  }
}

TEST_F(UsbConfiguration, PipeRequestsNeedAConfiguredPipe) {
  CameraSystem system(std::make_unique<ScriptedDevice>());
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  UsbDevice* usb = &system.Context()->usb;
  EXPECT_EQ(ResetPipe(usb, kFramePipe), STATUS_SUCCESS);
  EXPECT_EQ(AbortPipe(usb, kReplyPipe), STATUS_SUCCESS);
  EXPECT_EQ(ResetPipe(usb, 3), STATUS_INVALID_PARAMETER);
  system.Bus().SetResetPipeFails(true);
  EXPECT_EQ(ResetPipe(usb, kFramePipe), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbConfiguration, DeconfigureIsSentEvenWithoutADescriptor) {
  CameraSystem system(std::make_unique<ScriptedDevice>());
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  system.Bus().ClearLog();
  system.StopDevice();
  auto log = system.Bus().Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].urbFunction, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_TRUE(log[0].configurationCleared);

  // Without memory for its request block the unconfigure request is skipped.
  system.Bus().ClearLog();
  host::FailAllocationsWithTag("Vdrv");
  system.StopDevice();
  host::ClearPoolFaults();
  EXPECT_TRUE(system.Bus().Log().empty());
}

}  // namespace
