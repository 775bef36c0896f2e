#include "tools/client/camera_system.h"

#include <stdio.h>
#include <stdlib.h>

#include "driver/device_dispatch.h"
#include "platform/kernel_exports.h"

namespace kscam {
namespace {

std::string& DefaultImagePath() {
  static std::string path;
  return path;
}

}  // namespace

void CameraSystem::SetDefaultDriverImage(const std::string& path) { DefaultImagePath() = path; }
const std::string& CameraSystem::DefaultDriverImage() { return DefaultImagePath(); }

CameraSystem::CameraSystem(std::unique_ptr<host::UsbDeviceModel> device)
    : device_(std::move(device)), entry_(DriverEntry) {
  bus_ = std::make_unique<host::UsbBus>();
  bus_->Plug(device_.get());
  classDriver_ = std::make_unique<host::KsClassDriver>();
  if (!DefaultImagePath().empty()) {
    std::string error;
    // A program that asked for the binary and silently got the host build
    // would test the wrong driver: refuse to go on.
    if (!UseDriverImage(DefaultImagePath(), &error)) {
      fprintf(stderr, "%s: %s\n", DefaultImagePath().c_str(), error.c_str());
      abort();
    }
  }
}

CameraSystem::CameraSystem(const sim::CameraOptions& options)
    : CameraSystem(std::make_unique<sim::SimulatedCamera>(options)) {
  camera_ = static_cast<sim::SimulatedCamera*>(device_.get());
}

CameraSystem::~CameraSystem() {
  ksDevice_.reset();  // stops and removes the device while the bus still carries requests
  bus_.reset();
  classDriver_.reset();  // the driver's unload runs from its image, unmapped last
  image_.reset();
}

bool CameraSystem::UseDriverImage(const std::string& path, std::string* error) {
  host::PeLoadResult loaded = host::LoadPeImageFile(path, host::KernelExports());
  if (!loaded.image) {
    *error = loaded.error;
    return false;
  }
  image_ = std::move(loaded.image);
  entry_ = reinterpret_cast<DRIVER_INITIALIZE*>(image_->EntryPoint());
  return true;
}

NTSTATUS CameraSystem::LoadDriver() {
  NTSTATUS status = classDriver_->Load(entry_);
  // The kernel frees a driver's INIT sections once its entry returned; a
  // driver that still reaches into them faults here as it would there.
  if (image_ && !image_->DiscardSections()) status = STATUS_INSUFFICIENT_RESOURCES;
  ksDevice_ = std::make_unique<host::KsDeviceHost>(*classDriver_, bus_->PhysicalDeviceObject());
  return status;
}

NTSTATUS CameraSystem::AddDevice() { return ksDevice_->Add(); }
NTSTATUS CameraSystem::StartDevice() { return ksDevice_->Start(); }
void CameraSystem::StopDevice() { ksDevice_->Stop(); }
void CameraSystem::RemoveDevice() { ksDevice_->Remove(); }

NTSTATUS CameraSystem::BringUp() {
  NTSTATUS status = LoadDriver();
  if (NT_SUCCESS(status)) status = AddDevice();
  if (NT_SUCCESS(status)) status = StartDevice();
  return status;
}

bool CameraSystem::Ready() {
  return ksDevice_ != nullptr && ksDevice_->Device()->Started && !ksDevice_->FilterFactories().empty();
}

NTSTATUS CameraSystem::ReEnumerate() {
  bus_->Unplug();
  ksDevice_->Stop();
  ksDevice_->Remove();
  bus_->Plug(device_.get());
  ksDevice_ = std::make_unique<host::KsDeviceHost>(*classDriver_, bus_->PhysicalDeviceObject());
  NTSTATUS status = ksDevice_->Add();
  return NT_SUCCESS(status) ? ksDevice_->Start() : status;
}

}  // namespace kscam
