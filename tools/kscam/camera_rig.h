// The cameras a command talks to, made from the options every camera command
// shares: how many simulated cameras to plug in, which one to use, the driver
// to load, the scene, the bus pacing and the state directory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/client/camera_system.h"
#include "tools/client/frame_tap.h"

namespace CLI {
class App;
}

namespace kscam {

struct CameraChoice {
  unsigned cameras = 1;    // simulated cameras plugged in, each on a port of its own
  unsigned camera = 0;     // the one the command uses
  std::string driverFile;  // a Windows build of the driver to load instead of the built-in one
  std::string scene = "chart";
  bool unpaced = false;    // the simulated bus as fast as it goes
  std::string stateDir;    // empty: $XDG_STATE_HOME/kscam, else ~/.local/state/kscam
};
void AddCameraOptions(CLI::App& command, CameraChoice* choice);

// A simulated camera fresh from the box: the bare bridge, whose first start
// downloads the firmware, as when a camera is plugged in.
inline sim::CameraOptions FreshFromTheBox() {
  sim::CameraOptions options;
  options.firmwareRunning = false;
  return options;
}

// Told about each step of a camera's bring-up, for a command that reports them.
class BringUpObserver {
 public:
  virtual ~BringUpObserver() = default;
  virtual void DriverLoaded(NTSTATUS status) {}
  virtual void DeviceAdded(NTSTATUS status) {}
  virtual void Starting(CameraSystem& system) {}
  virtual void Started(CameraSystem& system, NTSTATUS status, double milliseconds) {}
  // The firmware came up and the camera came back as a new device.
  virtual void ReEnumerated() {}
};

class CameraRig {
 public:
  // Opens the state directory, plugs the cameras in (each a camera fresh from
  // the box unless simulated says otherwise), loads the driver for each and
  // brings them up: the first start downloads the firmware and the camera
  // comes back as a new device, which is then started. Null, with one line in
  // *error, when nothing could be plugged in; a camera that failed to start
  // is kept, with its status.
  static std::unique_ptr<CameraRig> Plug(const CameraChoice& choice, sim::CameraOptions simulated,
                                         std::string* error, BringUpObserver* observer = nullptr);
  // Plug, then the chosen camera must be ready; null with one line otherwise.
  static std::unique_ptr<CameraRig> PlugReady(const CameraChoice& choice, std::string* error);

  size_t Count() const { return cameras_.size(); }
  CameraSystem& System(size_t index) { return *cameras_[index].system; }
  FrameTap& Tap(size_t index) { return *cameras_[index].tap; }
  NTSTATUS Status(size_t index) const { return cameras_[index].status; }
  // The camera the options chose.
  size_t Chosen() const { return chosen_; }
  CameraSystem& System() { return System(chosen_); }
  FrameTap& Tap() { return Tap(chosen_); }
  bool LoadedDriver() const { return !driverFile_.empty(); }
  const std::string& DriverFile() const { return driverFile_; }

 private:
  struct Plugged {
    std::unique_ptr<CameraSystem> system;  // maps the driver image it runs, if any
    FrameTap* tap = nullptr;               // the system's device
    NTSTATUS status = STATUS_UNSUCCESSFUL;
  };
  NTSTATUS BringUp(Plugged& camera, BringUpObserver* observer);

  std::vector<Plugged> cameras_;
  size_t chosen_ = 0;
  std::string driverFile_;
};

// The device instance that names a camera's registry keys and stays the same
// across runs: "USB\VID_F5C0&PID_5C01\port1".
std::string DeviceInstance(CameraSystem& system);

}  // namespace kscam

#include "tools/client/camera_client.h"
#include "tools/client/camera_controls.h"

namespace kscam {

// The chosen camera of a ready rig with its capture filter open and its
// controls at hand. Members go in reverse order: controls, filter, cameras.
struct CameraSession {
  std::unique_ptr<CameraRig> rig;
  std::unique_ptr<CameraClient> client;
  std::unique_ptr<CameraControls> controls;
};
// On failure returns false with one line in *error.
bool OpenCameraSession(const CameraChoice& choice, const ClientOptions& options, CameraSession* session,
                       std::string* error);

}  // namespace kscam
