// The test client of a capture pin.
#include "support/capture_session.h"

#include <string.h>

namespace test {

struct CaptureSession::ClientFrame {
  Bytes buffer;
  ULONG extent;
};

CaptureSession::CaptureSession(kscam::CameraSystem& system) : system_(system) {}

CaptureSession::~CaptureSession() {
  if (pin_ != nullptr) ClosePin();
  if (filter_ != nullptr) system_.KsDevice().CloseFilter(filter_);
}

NTSTATUS CaptureSession::OpenFilter() {
  NTSTATUS status;
  filter_ = system_.KsDevice().OpenFilter(&status);
  return status;
}

Bytes CaptureSession::OfferedFormat() {
  host::KsDeviceHost& device = system_.KsDevice();
  ULONG needed = 0;
  device.PinDataRanges(filter_, 0, nullptr, 0, &needed);
  Bytes ranges(needed);
  if (!NT_SUCCESS(device.PinDataRanges(filter_, 0, ranges.data(), needed, &needed))) return {};
  // The request: a KSP_PIN for pin 0, then the pin's own range list.
  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  Bytes request(sizeof(property));
  memcpy(request.data(), &property, sizeof(property));
  request.insert(request.end(), ranges.begin(), ranges.end());
  ULONG size = 0;
  device.PinDataIntersection(filter_, request.data(), ULONG(request.size()), nullptr, 0, &size);
  Bytes format(size);
  if (!NT_SUCCESS(device.PinDataIntersection(filter_, request.data(), ULONG(request.size()), format.data(), size, &size)))
    return {};
  return format;
}

NTSTATUS CaptureSession::CreatePin() { return CreatePin(OfferedFormat()); }

NTSTATUS CaptureSession::CreatePin(const Bytes& format) {
  NTSTATUS status;
  pin_ = system_.KsDevice().CreatePin(filter_, 0, format.data(), ULONG(format.size()), &status);
  if (pin_ != nullptr) format_ = format;
  return status;
}

NTSTATUS CaptureSession::SetState(KSSTATE state) { return system_.KsDevice().SetPinState(pin_, state); }

NTSTATUS CaptureSession::ClosePin() {
  SetRequeue(false);
  NTSTATUS status = system_.KsDevice().ClosePin(pin_);
  pin_ = nullptr;
  return status;
}

const KS_VIDEOINFOHEADER& CaptureSession::VideoInfo() const {
  return *reinterpret_cast<const KS_VIDEOINFOHEADER*>(format_.data() + sizeof(KSDATAFORMAT));
}

void CaptureSession::QueueFrames(int count, ULONG extent) {
  if (extent == 0) extent = VideoInfo().bmiHeader.biSizeImage;
  for (int i = 0; i < count; ++i) {
    auto frame = std::make_unique<ClientFrame>();
    frame->buffer.assign(extent, 0x5A);
    frame->extent = extent;
    ClientFrame* raw = frame.get();
    {
      std::lock_guard<std::mutex> guard(lock_);
      frames_.push_back(std::move(frame));
    }
    system_.KsDevice().QueueFrame(
        pin_, raw->buffer.data(), extent,
        [this, raw](const host::FrameCompletion& completion) { Complete(raw, completion); }, raw);
  }
}

void CaptureSession::SetRequeue(bool requeue) {
  std::lock_guard<std::mutex> guard(lock_);
  requeue_ = requeue;
}

void CaptureSession::SetKeepData(bool keep) {
  std::lock_guard<std::mutex> guard(lock_);
  keepData_ = keep;
}

// Runs on the pin's completion thread.
void CaptureSession::Complete(ClientFrame* frame, const host::FrameCompletion& completion) {
  DeliveredFrame delivered;
  delivered.status = completion.status;
  delivered.header = completion.header;
  bool requeue;
  bool keepData;
  {
    std::lock_guard<std::mutex> guard(lock_);
    keepData = keepData_;
  }
  if (keepData) delivered.data = frame->buffer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    delivered_.push_back(std::move(delivered));
    ++completed_;
    requeue = requeue_ && completion.status == STATUS_SUCCESS;
  }
  arrived_.notify_all();
  if (requeue) {
    if (keepData) memset(frame->buffer.data(), 0x5A, frame->buffer.size());
    system_.KsDevice().QueueFrame(
        pin_, frame->buffer.data(), frame->extent,
        [this, frame](const host::FrameCompletion& next) { Complete(frame, next); }, frame);
  }
}

bool CaptureSession::NextFrame(DeliveredFrame* frame, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!arrived_.wait_until(guard, deadline, [this] { return !delivered_.empty(); })) return false;
    *frame = std::move(delivered_.front());
    delivered_.pop_front();
    if (frame->status != STATUS_CANCELLED) return true;
  }
}

NTSTATUS CaptureSession::RunWithFrames(int count, ULONG extent) {
  NTSTATUS status = SetState(KSSTATE_PAUSE);
  if (!NT_SUCCESS(status)) return status;
  QueueFrames(count, extent);
  return SetState(KSSTATE_RUN);
}

size_t CaptureSession::Completed() {
  std::lock_guard<std::mutex> guard(lock_);
  return completed_;
}

}  // namespace test
