// kscam probe: plug the simulated camera in, load and start the driver, and
// print what the driver found on the bus. A fresh camera (the bare bridge)
// gets its firmware at start and comes back as a new device.
#include <CLI/CLI.hpp>
#include <stdio.h>

#include <map>

#include "tools/client/status_text.h"
#include "tools/kscam/camera_report.h"
#include "tools/kscam/camera_rig.h"
#include "tools/kscam/commands.h"
#include "usb/firmware_download.h"

namespace {

struct ProbeOptions {
  kscam::CameraChoice camera;
  bool bridge = false;
  bool running = false;
  sim::SensorChip chip = sim::SensorChip::Rev1800;
};

// The firmware-load requests of one start, image by image: each image ends
// with the write that releases the processor at the newer reset address.
void PrintDownload(const std::vector<host::UsbLogEntry>& log) {
  static const char* kImages[] = {"loader", "camera firmware"};
  unsigned image = 0, requests = 0, loads = 0, bytes = 0;
  for (const host::UsbLogEntry& entry : log) {
    if (entry.urbFunction != URB_FUNCTION_VENDOR_DEVICE) continue;
    ++requests;
    bool reset = entry.value == kCpuResetAddress || entry.value == kCpuResetAddressOld;
    if (!reset) ++loads, bytes += entry.length;
    if (entry.value != kCpuResetAddress || entry.data != std::vector<uint8_t>{0}) continue;
    printf("firmware download: %s, %u records (%u bytes) in %u requests\n", image < 2 ? kImages[image] : "image",
           loads, bytes, requests);
    ++image;
    requests = loads = bytes = 0;
  }
  if (image == 0 && requests == 0) printf("firmware download: skipped, no vendor request sent\n");
}

// Prints each step of the bring-up as it happens.
class ProbeReport final : public kscam::BringUpObserver {
 public:
  void DriverLoaded(NTSTATUS status) override {
    printf("driver entry: %s\n", kscam::StatusText(status).c_str());
    failed = !NT_SUCCESS(status);
  }
  void DeviceAdded(NTSTATUS status) override {
    printf("add: %s\n", kscam::StatusText(status).c_str());
    failed = !NT_SUCCESS(status);
  }
  void Starting(kscam::CameraSystem& system) override {
    kscam::PrintDeviceDescriptor(system.Context());
    system.Bus().ClearLog();
  }
  void Started(kscam::CameraSystem& system, NTSTATUS status, double milliseconds) override {
    printf("start: %s (%.1f ms)\n", kscam::StatusText(status).c_str(), milliseconds);
    bool running = system.Context() != nullptr && system.Context()->usb.firmwareRunning;
    printf("camera firmware: %s\n", running ? "running" : "not running (bridge identity)");
    PrintDownload(system.Bus().Log());
  }
  void ReEnumerated() override {
    printf("camera re-enumerated: the bridge's device is removed, the camera's device added\n");
  }

  bool failed = false;  // the driver's entry or the device's add failed
};

int RunProbe(const ProbeOptions& options) {
  sim::CameraOptions simulated;
  simulated.chip = options.chip;
  simulated.firmwareRunning = options.running;  // else a camera fresh from the box: the bare bridge
  ProbeReport report;
  std::string error;
  std::unique_ptr<kscam::CameraRig> rig = kscam::CameraRig::Plug(options.camera, simulated, &error, &report);
  if (!rig) {
    fprintf(stderr, "kscam probe: %s\n", error.c_str());
    return kExitFailed;
  }
  if (report.failed || options.camera.camera >= rig->Count()) return kExitFailed;
  kscam::CameraSystem& system = rig->System();
  kscam::PrintConfiguration(system.Context());
  kscam::PrintSensor(system.Context());
  system.StopDevice();
  printf("stop: camera unconfigured\n");
  return NT_SUCCESS(rig->Status(rig->Chosen())) ? 0 : kExitFailed;
}

}  // namespace

CommandRunner DefineProbe(CLI::App& command) {
  auto options = std::make_shared<ProbeOptions>();
  kscam::AddCameraOptions(command, &options->camera);
  CLI::Option* bridge = command.add_flag("--bridge", options->bridge, "a camera fresh from the box (the default)");
  command.add_flag("--running", options->running, "a camera whose firmware already runs")->excludes(bridge);
  const std::map<std::string, sim::SensorChip> chips = {{"1800", sim::SensorChip::Rev1800},
                                                        {"1801-short", sim::SensorChip::Rev1801Short},
                                                        {"1801-long", sim::SensorChip::Rev1801Long}};
  command.add_option("--chip", options->chip, "the sensor's revision")
      ->transform(CLI::CheckedTransformer(chips, CLI::ignore_case));
  return [options] { return RunProbe(*options); };
}
