// A test client of one camera's capture pin, speaking to the class driver as
// an application does: open the filter, negotiate a format by intersection,
// create the pin, walk its states, queue frames and take them back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/sensor.h"
#include "platform/ks_host.h"
#include "sim/sensor.h"
#include "tools/client/camera_system.h"

namespace test {

using Bytes = std::vector<uint8_t>;

struct DeliveredFrame {
  NTSTATUS status = STATUS_SUCCESS;
  KSSTREAM_HEADER header{};
  Bytes data;  // the frame's whole extent as the client's buffer holds it
};

class CaptureSession {
 public:
  explicit CaptureSession(kscam::CameraSystem& system);
  ~CaptureSession();  // closes the pin and the filter
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  NTSTATUS OpenFilter();
  PKSFILTER Filter() const { return filter_; }
  PKSPIN Pin() const { return pin_; }

  // The format the pin's intersect handler makes from the filter's range.
  Bytes OfferedFormat();
  NTSTATUS CreatePin();  // with the offered format
  NTSTATUS CreatePin(const Bytes& format);
  NTSTATUS SetState(KSSTATE state);
  NTSTATUS ClosePin();

  // Queues count client frames of extent bytes (0: the format's image
  // size); each comes back through NextFrame and, while requeueing is on,
  // goes back to the pin at once.
  // The class driver takes frames only once the pin is past STOP.
  void QueueFrames(int count, ULONG extent = 0);
  // Pauses, queues count frames and runs.
  NTSTATUS RunWithFrames(int count, ULONG extent = 0);
  void SetRequeue(bool requeue);
  // Off: delivered frames carry only their header, and a requeued frame is
  // not refilled with the marker byte (benchmarks, where the copies would
  // cost more than the driver).
  void SetKeepData(bool keep);
  // The next frame that came back filled (frames cancelled by a stop are
  // passed over); false when none came within the time-out.
  bool NextFrame(DeliveredFrame* frame, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  size_t Completed();

  // The connection format's video info header.
  const KS_VIDEOINFOHEADER& VideoInfo() const;

 private:
  struct ClientFrame;
  void Complete(ClientFrame* frame, const host::FrameCompletion& completion);

  kscam::CameraSystem& system_;
  PKSFILTER filter_ = nullptr;
  PKSPIN pin_ = nullptr;
  Bytes format_;
  std::mutex lock_;  // guards frames_, delivered_, completed_, requeue_ and keepData_
  std::condition_variable arrived_;
  std::vector<std::unique_ptr<ClientFrame>> frames_;
  std::deque<DeliveredFrame> delivered_;
  size_t completed_ = 0;
  bool requeue_ = true;
  bool keepData_ = true;
};

// Exposure and gain at which the simulated sensor passes scene values
// through unchanged, so a picture's values are the scene's.
inline void ExposeAtUnity(DeviceContext* ctx) {
  SetExposure(ctx, sim::kUnityExposure);
  SetGlobalGain(ctx, sim::kUnityGain);
}

// A KSDATAFORMAT + KS_VIDEOINFOHEADER as bytes, for malformed-format tests.
inline KS_VIDEOINFOHEADER& VideoInfoOf(Bytes& format) {
  return *reinterpret_cast<KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
}
inline KSDATAFORMAT& FormatHeaderOf(Bytes& format) { return *reinterpret_cast<KSDATAFORMAT*>(format.data()); }

}  // namespace test
