#include "tools/view/live_camera.h"

namespace kscam::view {

LiveCamera::LiveCamera(CameraSystem& camera) : camera_(camera) {}

LiveCamera::~LiveCamera() { Stop(); }

NTSTATUS LiveCamera::Start() {
  std::lock_guard<std::mutex> guard(lock_);
  if (controlFilter_ != nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (!camera_.Ready()) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  controlFilter_ = camera_.KsDevice().OpenFilter(&status);
  if (controlFilter_ == nullptr) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  status = Connect();
  if (!NT_SUCCESS(status)) {
    camera_.KsDevice().CloseFilter(controlFilter_);
    controlFilter_ = nullptr;
  }
  return status;
}

void LiveCamera::Stop() {
  std::lock_guard<std::mutex> guard(lock_);
  Disconnect();
  if (controlFilter_ != nullptr) camera_.KsDevice().CloseFilter(controlFilter_);
  controlFilter_ = nullptr;
}

NTSTATUS LiveCamera::Connect() {
  ClientOptions options;
  options.topDown = true;  // pictures for people: top row first
  options.callback = [this](const Frame& frame) { Delivered(frame); };
  client_ = std::make_unique<CameraClient>(camera_, options);
  VideoFormat format;
  NTSTATUS status = client_->Connect(&format);
  if (NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> guard(statusLock_);
    meter_.Restart(format.frameInterval);
    status_.width = format.width;
    status_.height = format.height < 0 ? -format.height : format.height;
    status_.streaming = true;
  }
  if (NT_SUCCESS(status)) status = client_->Run();
  if (!NT_SUCCESS(status)) Disconnect();
  return status;
}

void LiveCamera::Disconnect() {
  // Closing waits for the callbacks in flight, so the client outlives them.
  if (client_ != nullptr) client_->Close();
  client_.reset();
  std::lock_guard<std::mutex> guard(statusLock_);
  status_.streaming = false;
}

void LiveCamera::Delivered(const Frame& frame) {
  {
    std::lock_guard<std::mutex> guard(statusLock_);
    meter_.Record(FrameRateMeter::Clock::now(), frame.timeValid, frame.time);
  }
  frames_.Offer(frame);
}

NTSTATUS LiveCamera::ListControls(std::vector<ControlInfo>* controls) {
  std::lock_guard<std::mutex> guard(lock_);
  if (controlFilter_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return CameraControls(camera_.KsDevice(), controlFilter_).List(controls);
}

NTSTATUS LiveCamera::GetControl(const std::string& name, int32_t* value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (controlFilter_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return CameraControls(camera_.KsDevice(), controlFilter_).Get(name, value);
}

NTSTATUS LiveCamera::SetControl(const std::string& name, int32_t value, int32_t* kept) {
  std::lock_guard<std::mutex> guard(lock_);
  if (controlFilter_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  CameraControls controls(camera_.KsDevice(), controlFilter_);
  NTSTATUS status = controls.Set(name, value);
  if (NT_SUCCESS(status)) status = controls.Get(name, kept);
  return status;
}

NTSTATUS LiveCamera::GetRegion(Region* region) {
  std::lock_guard<std::mutex> guard(lock_);
  if (controlFilter_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return CameraControls(camera_.KsDevice(), controlFilter_).GetRegion(region);
}

NTSTATUS LiveCamera::ChangeRegion(const Region& wanted, Region* kept) {
  std::lock_guard<std::mutex> guard(lock_);
  if (controlFilter_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  Region previous;
  NTSTATUS status = CameraControls(camera_.KsDevice(), controlFilter_).GetRegion(&previous);
  if (!NT_SUCCESS(status)) return status;
  status = StreamRegion(wanted, kept);
  if (!NT_SUCCESS(status)) {
    Region restored;
    StreamRegion(previous, &restored);
  }
  std::lock_guard<std::mutex> statusGuard(statusLock_);
  ++status_.restarts;
  return status;
}

NTSTATUS LiveCamera::StreamRegion(const Region& region, Region* kept) {
  Disconnect();
  CameraControls controls(camera_.KsDevice(), controlFilter_);
  NTSTATUS status = controls.SetRegion(region);
  if (NT_SUCCESS(status)) status = controls.GetRegion(kept);
  NTSTATUS connected = Connect();
  return NT_SUCCESS(status) ? connected : status;
}

StreamStatus LiveCamera::Status() {
  std::lock_guard<std::mutex> guard(statusLock_);
  StreamStatus status = status_;
  status.measuredFps = meter_.MeasuredFps(FrameRateMeter::Clock::now());
  status.nominalFps = meter_.NominalFps();
  status.frames = meter_.Frames();
  status.dropped = meter_.Dropped();
  return status;
}

}  // namespace kscam::view
