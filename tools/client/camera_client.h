// The client library: how an application uses a camera, in the manner of the
// kernel-streaming proxy. It finds the cameras, opens one's capture filter,
// reads the pin's data range, negotiates a format through data
// intersection, creates the pin, keeps a few frame buffers queued while it
// runs, and hands out frames (by callback or by pull) with their time stamp
// and a sequence number it counts itself.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ks_host.h"
#include "tools/client/camera_system.h"

namespace kscam {

// A camera an application can open: one started device with a capture
// filter factory.
struct CameraEntry {
  size_t index;           // position among the cameras found
  CameraSystem* system;
};
// The cameras among systems that are ready to be opened, in order.
std::vector<CameraEntry> EnumerateCameras(const std::vector<CameraSystem*>& systems);

// Copies rows of stride bytes in reverse order: a bottom-up image becomes
// top-down (and back).
void CopyRowsReversed(const uint8_t* source, size_t stride, size_t rows, uint8_t* destination);

// A negotiated video format: the class driver's bytes (a KSDATAFORMAT and a
// KS_VIDEOINFOHEADER) and what a caller needs from them.
struct VideoFormat {
  std::vector<uint8_t> bytes;
  LONG width = 0;
  LONG height = 0;  // positive: bottom-up rows, as the driver delivers them
  WORD bitCount = 0;
  ULONG imageBytes = 0;
  ULONG stride = 0;  // bytes per row
  REFERENCE_TIME frameInterval = 0;
};

struct Frame {
  uint64_t sequence = 0;      // 0, 1, 2, … counted by the client per delivered frame
  LONGLONG time = 0;          // presentation time, 100 ns, when timeValid
  bool timeValid = false;
  LONG width = 0;
  LONG height = 0;            // rows (always positive)
  ULONG stride = 0;
  bool topDown = false;       // the first row of pixels is the top of the picture
  ULONG dataUsed = 0;
  std::vector<uint8_t> pixels;  // BGRA, stride bytes per row
};

// Runs on the library's completion thread; it must not call Pause, Stop,
// Run or Close of its own client.
using FrameCallback = std::function<void(const Frame&)>;

struct ClientOptions {
  int buffers = 3;            // client frames kept queued while running (1 to kMaxBuffers)
  bool topDown = false;       // flip bottom-up frames to top-down
  bool masterClock = true;    // give the pin the host's clock, so frames carry time stamps
  size_t pullQueueDepth = 8;  // undelivered frames kept for NextFrame; older ones are dropped
  FrameCallback callback;     // when set, frames go here instead of the pull queue
};

class CameraClient {
 public:
  static constexpr int kMaxBuffers = 32;

  explicit CameraClient(CameraSystem& camera, ClientOptions options = ClientOptions());
  ~CameraClient();  // stops and closes whatever is open
  CameraClient(const CameraClient&) = delete;
  CameraClient& operator=(const CameraClient&) = delete;

  // Each step needs the one before; out of order gives STATUS_INVALID_DEVICE_STATE.
  NTSTATUS Open();
  // The capture pin's first data range (KSPROPERTY_PIN_DATARANGES).
  NTSTATUS ReadDataRange(KS_DATARANGE_VIDEO* range);
  // Proposes the pin's own range to its intersect handler and returns the
  // full format it makes.
  NTSTATUS Negotiate(VideoFormat* format);
  NTSTATUS CreatePin(const VideoFormat& format);
  // Open, negotiate and create the pin in one go.
  NTSTATUS Connect(VideoFormat* format = nullptr);

  // Queues the client's buffers and runs the pin (from stop or pause).
  NTSTATUS Run();
  // Keeps the buffers queued; frames stop arriving.
  NTSTATUS Pause();
  // Stops the pin; the queued buffers come back cancelled.
  NTSTATUS Stop();
  // Stops and closes the pin; the filter stays open.
  void ClosePin();
  // Closes the pin and the filter.
  void Close();

  // The next delivered frame; STATUS_TIMEOUT when none came in time,
  // STATUS_INVALID_DEVICE_STATE without a pin or when frames go to a callback.
  NTSTATUS NextFrame(Frame* frame, std::chrono::milliseconds timeout);
  uint64_t FramesDelivered();
  uint64_t FramesDropped();  // pull-queue overflows
  const VideoFormat& Format() const { return format_; }
  PKSPIN Pin() const { return pin_; }
  PKSFILTER Filter() const { return filter_; }  // null until Open

 private:
  struct Buffer;
  enum class Stage { Closed, FilterOpen, PinCreated };

  KSSTATE CurrentPinState() const;
  NTSTATUS QueueIdleBuffers();
  NTSTATUS QueueBuffer(Buffer* buffer);
  void Completed(Buffer* buffer, const host::FrameCompletion& completion);
  Frame MakeFrame(const Buffer& buffer, const KSSTREAM_HEADER& header, uint64_t sequence) const;

  host::KsDeviceHost& Device() { return camera_.KsDevice(); }

  CameraSystem& camera_;
  ClientOptions options_;
  Stage stage_ = Stage::Closed;
  PKSFILTER filter_ = nullptr;
  PKSPIN pin_ = nullptr;
  VideoFormat format_;
  KSSTATE state_ = KSSTATE_STOP;

  std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::deque<Frame> pulled_;  // delivered frames waiting for NextFrame
  uint64_t sequence_ = 0;
  uint64_t dropped_ = 0;
  bool running_ = false;  // completed buffers go straight back to the pin
};

}  // namespace kscam
