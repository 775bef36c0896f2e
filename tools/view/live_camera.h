// The camera behind the live view: its capture pin running with frames going
// to a frame exchange, and its controls reached through a filter of their
// own, which stays open while the pin is closed and opened again for a new
// region of interest. Every method may be called from any server thread.
#pragma once

#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/client/camera_client.h"
#include "tools/client/camera_controls.h"
#include "tools/view/frame_exchange.h"
#include "tools/view/frame_rate.h"

namespace kscam::view {

struct StreamStatus {
  bool streaming = false;
  int32_t width = 0;  // of the frames the pin delivers
  int32_t height = 0;
  double measuredFps = 0;
  double nominalFps = 0;
  uint64_t frames = 0;   // delivered since the pin last started
  uint64_t dropped = 0;  // lost since the pin last started, by the time stamps
  uint64_t restarts = 0; // pin restarts for a new region
};

class LiveCamera {
 public:
  explicit LiveCamera(CameraSystem& camera);
  ~LiveCamera();  // stops
  LiveCamera(const LiveCamera&) = delete;
  LiveCamera& operator=(const LiveCamera&) = delete;

  // Opens the controls' filter, then connects and runs the capture pin.
  NTSTATUS Start();
  // Closes the pin and both filters; frames stop.
  void Stop();

  NTSTATUS ListControls(std::vector<ControlInfo>* controls);
  NTSTATUS GetControl(const std::string& name, int32_t* value);
  // Sets a control while frames stream; *kept is what the driver kept.
  NTSTATUS SetControl(const std::string& name, int32_t value, int32_t* kept);
  NTSTATUS GetRegion(Region* region);
  // The driver takes a new region only while no pin exists: stops and closes
  // the pin, sets the region, connects and runs again. *kept is the region
  // the camera kept. When the new region cannot stream, the old one is put
  // back and streams again, and the failure is returned.
  NTSTATUS ChangeRegion(const Region& wanted, Region* kept);

  StreamStatus Status();
  FrameExchange& Frames() { return frames_; }

 private:
  NTSTATUS Connect();  // with lock_ held
  void Disconnect();   // with lock_ held
  NTSTATUS StreamRegion(const Region& region, Region* kept);  // with lock_ held
  void Delivered(const Frame& frame);  // on the completion thread

  CameraSystem& camera_;
  FrameExchange frames_;

  std::mutex lock_;  // guards client_ and controlFilter_: the pin's life and every property request
  std::unique_ptr<CameraClient> client_;
  PKSFILTER controlFilter_ = nullptr;

  std::mutex statusLock_;  // guards meter_ and status_ (the completion thread writes them)
  FrameRateMeter meter_;
  StreamStatus status_;
};

}  // namespace kscam::view
