#include "tools/client/camera_system.h"

#include "driver/device_dispatch.h"

namespace kscam {

CameraSystem::CameraSystem(std::unique_ptr<host::UsbDeviceModel> device, unsigned port)
    : device_(std::move(device)), entry_(DriverEntry) {
  bus_ = std::make_unique<host::UsbBus>(port);
  bus_->Plug(device_.get());
  classDriver_ = std::make_unique<host::KsClassDriver>();
}

CameraSystem::CameraSystem(const sim::CameraOptions& options, unsigned port)
    : CameraSystem(std::make_unique<sim::SimulatedCamera>(options), port) {
  camera_ = static_cast<sim::SimulatedCamera*>(device_.get());
}

CameraSystem::~CameraSystem() {
  ksDevice_.reset();  // stops and removes the device while the bus still carries requests
  bus_.reset();
}

NTSTATUS CameraSystem::LoadDriver() {
  NTSTATUS status = classDriver_->Load(entry_);
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
