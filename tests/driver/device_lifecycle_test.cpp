// Driver entry, device add, start and stop, and filters, against a camera on
// the host bus; with every allocation of add and start failing in turn.
#include <gtest/gtest.h>
#include "tests/support/driver_under_test.h"

#include "driver/device_dispatch.h"
#include "platform/host_pool.h"
#include "stream/capture_context.h"
#include "stream/descriptors.h"
#include "stream/video_range.h"
#include "support/scripted_device.h"
#include "tools/client/camera_system.h"

namespace {

using kscam::CameraSystem;
using test::ScriptedDevice;

struct ScriptedSystem {
  ScriptedDevice* device;
  std::unique_ptr<CameraSystem> system;
};

ScriptedSystem MakeScripted(std::unique_ptr<ScriptedDevice> device = std::make_unique<ScriptedDevice>()) {
  ScriptedDevice* raw = device.get();
  return {raw, std::make_unique<CameraSystem>(std::move(device))};
}

size_t CountCommands(const std::vector<std::vector<uint8_t>>& commands, uint8_t code) {
  size_t count = 0;
  for (const auto& command : commands) count += !command.empty() && command[0] == code;
  return count;
}

bool DeconfigureSent(host::UsbBus& bus) {
  for (const host::UsbLogEntry& entry : bus.Log())
    if (entry.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION && entry.configurationCleared) return true;
  return false;
}

class DeviceLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ClearPoolFaults();
    baseline_ = host::PoolLiveAllocations();
  }
  void TearDown() override {
    host::ClearPoolFaults();
    EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "pool allocations leaked";
  }
  uint64_t baseline_ = 0;
};

TEST_F(DeviceLifecycle, AddCreatesTheContextWithItsDefaults) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(static_cast<void*>(ctx), static_cast<void*>(static_cast<CameraObject*>(ctx)));
  EXPECT_EQ(ctx->ksDevice, system.KsDevice().Device());
  EXPECT_EQ(ctx->usb.lowerDeviceObject, system.Bus().PhysicalDeviceObject());
  EXPECT_EQ(ctx->usb.physicalDeviceObject, system.Bus().PhysicalDeviceObject());
  EXPECT_EQ(ctx->usb.functionalDeviceObject, system.KsDevice().Device()->FunctionalDeviceObject);
  EXPECT_EQ(ctx->usb.configDescriptor, nullptr);
  EXPECT_FALSE(ctx->usb.firmwareRunning);
  EXPECT_EQ(ctx->frameTimeoutMs, 3000);
  EXPECT_EQ(ctx->redGain, 128u);
  EXPECT_EQ(ctx->greenGain, 128u);
  EXPECT_EQ(ctx->blueGain, 128u);
  EXPECT_EQ(ctx->colourEnable, 1u);
  EXPECT_EQ(ctx->colourCorrection, 1u);
  EXPECT_EQ(ctx->brightness, 255u);
  EXPECT_EQ(ctx->contrast, 10u);
  EXPECT_EQ(ctx->saturation, 10u);
  EXPECT_EQ(ctx->hue, 0u);
  EXPECT_EQ(ctx->whiteBalance, 0);
  EXPECT_EQ(ctx->exposure, 0u);
  EXPECT_EQ(ctx->globalGain, 0u);
  EXPECT_EQ(ctx->roiWidth, 2560);
  EXPECT_EQ(ctx->roiHeight, 1920);
  EXPECT_EQ(ctx->outputWidth, 2560);
  EXPECT_EQ(ctx->outputHeight, 1920);
  EXPECT_EQ(ctx->imageWidth, 2560);
  EXPECT_EQ(ctx->imageHeight, 1920);
  EXPECT_EQ(KeReadStateEvent(&ctx->reconfigureDone), 0);
  EXPECT_EQ(KeReadStateEvent(&ctx->usb.frameDoneEvent), 0);
  EXPECT_EQ(ctx->videoRange.DataRange.SampleSize, 19660800u);
  EXPECT_EQ(ULONG(ctx->videoRange.ConfigCaps.MaxBitsPerSecond), 423624704u);
  EXPECT_EQ(ctx->videoRange.VideoInfoHeader.dwBitRate, 589824000u);
}

TEST_F(DeviceLifecycle, StartCreatesTheFactoryAndCaptureAndConfiguresTheCamera) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();

  auto factories = system.KsDevice().FilterFactories();
  ASSERT_EQ(factories.size(), 1u);
  if (kscam_test::RunsHostBuild()) {
    EXPECT_EQ(factories[0].descriptor, &kFilterDescriptor);
  }
  EXPECT_TRUE(factories[0].referenceString == u"GLOBAL");
  EXPECT_EQ(factories[0].createItemFlags, ULONG(KSCREATE_ITEM_FREEONSTOP)) << "the factory goes at stop";
  EXPECT_TRUE(factories[0].deviceMutexHeld);

  ASSERT_NE(ctx->capture, nullptr);
  EXPECT_EQ(ctx->capture->camera, ctx);
  EXPECT_EQ(ctx->capture->phase, kCaptureIdle);
  EXPECT_EQ(KeReadStateEvent(&ctx->capture->conversionDone), 0);

  ASSERT_NE(ctx->usb.configDescriptor, nullptr);
  ASSERT_NE(ctx->usb.interfaceInfo, nullptr);
  ASSERT_EQ(ctx->usb.interfaceInfo->NumberOfPipes, 3u);
  for (ULONG i = 0; i < 3; ++i) {
    EXPECT_EQ(ctx->usb.pipeResetMarks[i], 0);
    EXPECT_EQ(ctx->usb.interfaceInfo->Pipes[i].MaximumTransferSize, 0xFFFFFFFFu);
  }
  EXPECT_EQ(ctx->usb.interfaceInfo->Pipes[0].EndpointAddress, 0x01);
  EXPECT_EQ(ctx->usb.interfaceInfo->Pipes[2].EndpointAddress, 0x82);
  EXPECT_TRUE(ctx->usb.firmwareRunning);
  EXPECT_EQ(scripted.device->SelectedConfiguration(), 1);
}

// One line per request the driver sent, in the camera's own terms.
std::vector<std::string> Requests(host::UsbBus& bus) {
  std::vector<std::string> lines;
  char line[64];
  for (const host::UsbLogEntry& e : bus.Log()) {
    if (e.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
      snprintf(line, sizeof line, "descriptor %u, %u bytes", e.descriptorType, e.length);
    } else if (e.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION) {
      snprintf(line, sizeof line, e.configurationCleared ? "unconfigure" : "select configuration");
    } else if (e.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.endpointAddress == 0x81) {
      snprintf(line, sizeof line, "reply");
    } else if (e.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.data.size() == 64) {
      if (e.data[0] == 0x04)
        snprintf(line, sizeof line, "write %02X = %04X", e.data[1], e.data[2] << 8 | e.data[3]);
      else if (e.data[0] == 0x0C)
        snprintf(line, sizeof line, "read %02X", e.data[1]);
      else
        snprintf(line, sizeof line, "command %02X", e.data[0]);
    } else {
      snprintf(line, sizeof line, "function %u, endpoint %02X", e.urbFunction, e.endpointAddress);
    }
    lines.push_back(line);
  }
  return lines;
}

// A camera already running its firmware: the descriptors, the configuration,
// the start-up command and the sensor initialisation, then the stored
// settings, starting with the exposure (the time limit is no request).
TEST_F(DeviceLifecycle, StartSendsItsRequestsInOrder) {
  CameraSystem system;
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  const std::vector<std::string> expected = {
      "descriptor 1, 18 bytes", "descriptor 2, 9 bytes", "descriptor 2, 39 bytes", "select configuration",
      "command 06",             "write 0D = 0000",
      "read 00",                "reply",                 "reply",
      "read FD",                "reply",                 "reply",
      "write 2B = 000E",        "write 2C = 000E",       "write 2D = 000E",
      "write 2E = 000E",        "write 35 = 000E",       "write 20 = 8040",
      "write 09 = 0001",        "write 08 = 0000",
  };
  std::vector<std::string> requests = Requests(system.Bus());
  ASSERT_GE(requests.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + expected.size()), expected);
}

// The firmware's identity is believed only from a whole device descriptor.
TEST_F(DeviceLifecycle, FirmwareIdentityNeedsTheWholeDeviceDescriptor) {
  for (size_t bytes : {18, 17, 12}) {
    auto device = std::make_unique<ScriptedDevice>();
    device->deviceDescriptor.resize(bytes);
    auto scripted = MakeScripted(std::move(device));
    ASSERT_EQ(scripted.system->BringUp(), STATUS_SUCCESS);
    EXPECT_EQ(scripted.system->Context()->usb.firmwareRunning, bytes == 18) << bytes << " bytes";
  }
}

// The configuration the camera offers decides what Start reports and keeps.
TEST_F(DeviceLifecycle, ConfigurationOutcomes) {
  const struct {
    const char* what;
    uint8_t interfaceNumber;
    USBD_STATUS selectStatus;
    bool configured;
  } cases[] = {
      {"the camera's interface 0", 0, USBD_STATUS_SUCCESS, true},
      {"an interface numbered 255", 255, USBD_STATUS_SUCCESS, true},
      {"a refused selection", 0, USBD_STATUS_STALL_PID, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto device = std::make_unique<ScriptedDevice>();
    auto interfaces = test::CameraInterface();
    interfaces[0].number = c.interfaceNumber;
    device->configuration = test::Configuration(interfaces);
    device->selectConfigurationStatus = c.selectStatus;
    auto scripted = MakeScripted(std::move(device));
    CameraSystem& system = *scripted.system;
    NTSTATUS status = system.BringUp();
    DeviceContext* ctx = system.Context();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(NT_SUCCESS(status), c.configured) << std::hex << status;
    EXPECT_EQ(ctx->usb.interfaceInfo != nullptr, c.configured);
    EXPECT_EQ(ctx->usb.pipeResetMarks != nullptr, c.configured);
    if (c.configured) {
      EXPECT_EQ(ctx->usb.interfaceInfo->InterfaceNumber, c.interfaceNumber);
      EXPECT_EQ(ctx->usb.interfaceInfo->NumberOfPipes, 3u);
      EXPECT_EQ(scripted.device->Register(0x2D), 14) << "the sensor was initialised";
    } else {
      EXPECT_EQ(scripted.device->SelectedConfiguration(), 0);
      EXPECT_TRUE(scripted.device->Commands().empty()) << "nothing goes out without a configuration";
    }
    system.Bus().ClearLog();
    system.StopDevice();
    EXPECT_TRUE(DeconfigureSent(system.Bus()));
    EXPECT_EQ(ctx->usb.configDescriptor, nullptr);
  }
}

TEST_F(DeviceLifecycle, BridgeIdentityLeavesTheFirmwareMarkedNotRunning) {
  auto device = std::make_unique<ScriptedDevice>();
  device->deviceDescriptor = test::DeviceDescriptor(0x1234, 0x0001);
  auto scripted = MakeScripted(std::move(device));
  ASSERT_EQ(scripted.system->BringUp(), STATUS_SUCCESS);
  EXPECT_FALSE(scripted.system->Context()->usb.firmwareRunning);
  EXPECT_EQ(CountCommands(scripted.device->Commands(), 0x06), 1u);
}

TEST_F(DeviceLifecycle, FailedDescriptorRequestIsReportedButStartCarriesOn) {
  auto device = std::make_unique<ScriptedDevice>();
  device->deviceDescriptorStatus = USBD_STATUS_STALL_PID;
  auto scripted = MakeScripted(std::move(device));
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(system.StartDevice(), STATUS_UNSUCCESSFUL);
  DeviceContext* ctx = system.Context();
  EXPECT_EQ(ctx->usb.configDescriptor, nullptr);
  EXPECT_EQ(ctx->usb.interfaceInfo, nullptr);
  EXPECT_FALSE(ctx->usb.firmwareRunning);
  EXPECT_NE(ctx->capture, nullptr);
  EXPECT_EQ(system.KsDevice().FilterFactories().size(), 1u);
  // Without a configuration no packet can go out, but stop still unconfigures.
  system.Bus().ClearLog();
  system.StopDevice();
  EXPECT_TRUE(DeconfigureSent(system.Bus()));
}

TEST_F(DeviceLifecycle, FailedFactoryCreationStillConfiguresWithoutCapture) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  host::FailAllocationsWithTag("SKff");
  EXPECT_EQ(system.StartDevice(), STATUS_SUCCESS);
  host::ClearPoolFaults();
  EXPECT_EQ(system.Context()->capture, nullptr);
  EXPECT_NE(system.Context()->usb.interfaceInfo, nullptr);
  EXPECT_TRUE(system.KsDevice().FilterFactories().empty());
}

TEST_F(DeviceLifecycle, StopReleasesTheConfigurationAndRestartKeepsTheContext) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  CaptureContext* firstCapture = ctx->capture;
  system.Bus().ClearLog();
  system.StopDevice();
  EXPECT_EQ(ctx->usb.configDescriptor, nullptr);
  EXPECT_EQ(ctx->usb.interfaceInfo, nullptr);
  EXPECT_EQ(ctx->usb.pipeResetMarks, nullptr);
  EXPECT_TRUE(DeconfigureSent(system.Bus()));
  EXPECT_EQ(scripted.device->SelectedConfiguration(), 0);
  EXPECT_TRUE(system.KsDevice().FilterFactories().empty()) << "the factory goes at stop";

  ASSERT_EQ(system.StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(system.Context(), ctx);
  EXPECT_NE(ctx->capture, firstCapture);
  EXPECT_EQ(system.KsDevice().FilterFactories().size(), 1u);
  EXPECT_TRUE(ctx->usb.firmwareRunning);
}

TEST_F(DeviceLifecycle, EveryAllocationOfAddFailingInTurnLeavesNoContext) {
  for (uint64_t n = 1;; ++n) {
    auto scripted = MakeScripted();
    CameraSystem& system = *scripted.system;
    ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
    host::FailNthAllocation(n);
    NTSTATUS status = system.AddDevice();
    uint64_t attempts = host::PoolAllocationAttempts();
    host::ClearPoolFaults();
    if (attempts < n) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    EXPECT_EQ(system.KsDevice().Device()->Context, nullptr);
  }
}

TEST_F(DeviceLifecycle, EveryAllocationOfStartFailingInTurnIsReportedOrSurvived) {
  for (uint64_t n = 1;; ++n) {
    auto scripted = MakeScripted();
    CameraSystem& system = *scripted.system;
    ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
    ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
    host::FailNthAllocation(n);
    NTSTATUS status = system.StartDevice();
    uint64_t attempts = host::PoolAllocationAttempts();
    host::ClearPoolFaults();
    if (attempts < n) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    // Only the descriptor read and the configuration are reported; every
    // other step that lost an allocation is survived.
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    system.StopDevice();
    system.RemoveDevice();
    EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "leak after allocation " << n << " failed";
  }
}

TEST_F(DeviceLifecycle, AddWhoseBagRegistrationFailsLeavesNoContext) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  host::FailAllocationsWithTag("SKbg");
  EXPECT_EQ(system.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_EQ(system.KsDevice().Device()->Context, nullptr);
  EXPECT_EQ(host::PoolLiveAllocations("KCNw"), 0u);
}

TEST_F(DeviceLifecycle, FiltersGetAContextAndCloseAlwaysSucceeds) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  NTSTATUS status;
  PKSFILTER filter = system.KsDevice().OpenFilter(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(filter->Context, nullptr);
  EXPECT_EQ(*static_cast<PKSFILTER*>(filter->Context), filter);
  EXPECT_EQ(system.KsDevice().CloseFilter(filter), STATUS_SUCCESS);

  host::FailAllocationsWithTag("KCNw");
  EXPECT_EQ(system.KsDevice().OpenFilter(&status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  host::FailAllocationsWithTag("SKbg");
  EXPECT_EQ(system.KsDevice().OpenFilter(&status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
}

TEST_F(DeviceLifecycle, StartWithoutAContextIsRefused) {
  auto scripted = MakeScripted();
  CameraSystem& system = *scripted.system;
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  host::FailAllocationsWithTag("KCNw");
  EXPECT_EQ(system.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_EQ(DeviceStart(system.KsDevice().Device(), nullptr, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
