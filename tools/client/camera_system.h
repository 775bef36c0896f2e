// One camera as a host program sees it: a device plugged into the host USB
// bus, the driver loaded by the kernel-streaming class driver, and the device
// taken through its plug-and-play life.
#pragma once

#include <memory>
#include <string>

#include "driver/device_context.h"
#include "platform/ks_host.h"
#include "platform/pe_image.h"
#include "platform/usb_bus.h"
#include "sim/simulated_camera.h"

namespace kscam {

class CameraSystem {
 public:
  // Plugs the given device in; the simulated camera when none is given.
  explicit CameraSystem(std::unique_ptr<host::UsbDeviceModel> device);
  explicit CameraSystem(const sim::CameraOptions& options = sim::CameraOptions());
  ~CameraSystem();
  CameraSystem(const CameraSystem&) = delete;
  CameraSystem& operator=(const CameraSystem&) = delete;

  // The driver LoadDriver calls: the host build's entry unless another is
  // given (a Windows build of the driver loaded into the platform).
  void UseDriverEntry(DRIVER_INITIALIZE* entry) { entry_ = entry; }
  // Runs the Windows build of the driver instead: the kscam.sys file is
  // mapped into this process, bound to the platform's exports, and its entry
  // used by LoadDriver, which then discards its initialisation sections as
  // the kernel does. The image stays mapped as long as this system. False,
  // with the loader's reason in *error, when the file is refused.
  bool UseDriverImage(const std::string& path, std::string* error);
  // Every system constructed afterwards loads this image (empty: the host
  // build's entry again). Test programs use it to run whole suites on the
  // shipped binary.
  static void SetDefaultDriverImage(const std::string& path);
  static const std::string& DefaultDriverImage();
  // The image LoadDriver runs; null for the host build's driver.
  const host::PeImage* DriverImage() const { return image_.get(); }
  NTSTATUS LoadDriver();
  NTSTATUS AddDevice();
  NTSTATUS StartDevice();
  void StopDevice();
  void RemoveDevice();
  // Load, add and start in one go; the first failing status, else success.
  NTSTATUS BringUp();
  // The camera left the bus and came back as a new device, as it does when
  // its firmware re-enumerates: the old device is stopped and removed, the
  // new one added and started. The first failing status, else success.
  NTSTATUS ReEnumerate();

  // Loaded, added and started, with a filter factory to open.
  bool Ready();

  host::UsbBus& Bus() { return *bus_; }
  host::UsbDeviceModel& Device() { return *device_; }
  sim::SimulatedCamera* Camera() { return camera_; }  // null for another device
  host::KsDeviceHost& KsDevice() { return *ksDevice_; }
  DeviceContext* Context() { return DeviceContextOf(ksDevice_->Device()); }

 private:
  std::unique_ptr<host::PeImage> image_;  // outlives everything that may run its code
  std::unique_ptr<host::UsbDeviceModel> device_;
  sim::SimulatedCamera* camera_ = nullptr;
  std::unique_ptr<host::UsbBus> bus_;
  std::unique_ptr<host::KsClassDriver> classDriver_;
  std::unique_ptr<host::KsDeviceHost> ksDevice_;
  DRIVER_INITIALIZE* entry_;
};

}  // namespace kscam
