// Plugging cameras in and bringing them up, the same way for every command.
#include "tools/kscam/camera_rig.h"

#include <CLI/CLI.hpp>
#include <stdlib.h>

#include <chrono>
#include <filesystem>

#include "platform/registry_host.h"
#include "tools/client/status_text.h"

namespace kscam {

namespace {

constexpr unsigned kMostCameras = 16;

// The registry the driver keeps the camera's settings in persists between
// runs in the state directory, as the machine's registry does on Windows.
bool UseStateDirectory(const std::string& chosen, std::string* error) {
  std::string directory = chosen;
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  // A relative XDG_STATE_HOME is invalid and ignored, as the base directory
  // convention asks.
  if (directory.empty() && state != nullptr && state[0] == '/') directory = std::string(state) + "/kscam";
  if (directory.empty() && home != nullptr && *home != '\0') directory = std::string(home) + "/.local/state/kscam";
  if (directory.empty()) {
    host::UseRegistryFile("");  // nowhere to keep them: this run only
    return true;
  }
  std::error_code failure;
  std::filesystem::create_directories(directory, failure);
  if (failure) {
    *error = "state directory " + directory + ": " + failure.message();
    return false;
  }
  host::UseRegistryFile(directory + "/registry");
  return true;
}

}  // namespace

void AddCameraOptions(CLI::App& command, CameraChoice* choice) {
  command.add_option("--cameras", choice->cameras, "simulated cameras to plug in")
      ->check(CLI::Range(1u, kMostCameras));
  command.add_option("--camera", choice->camera, "the camera to use, by its index in 'kscam list'");
  command.add_option("--driver", choice->driverFile, "run this Windows build of the driver (FILE.sys)");
  command.add_option("--scene", choice->scene, "what the simulated camera sees")
      ->check(CLI::IsMember({"chart", "bars", "ramp"}));
  command.add_flag("--unpaced", choice->unpaced, "run the simulated bus as fast as it goes");
  command.add_option("--state", choice->stateDir, "keep the camera settings here");
}

NTSTATUS CameraRig::BringUp(Plugged& camera, BringUpObserver* observer) {
  BringUpObserver silent;
  if (observer == nullptr) observer = &silent;
  CameraSystem& system = *camera.system;
  NTSTATUS status = system.LoadDriver();
  observer->DriverLoaded(status);
  if (!NT_SUCCESS(status)) return status;
  status = system.AddDevice();
  observer->DeviceAdded(status);
  if (!NT_SUCCESS(status)) return status;
  auto start = [&](NTSTATUS (CameraSystem::*step)()) {
    observer->Starting(system);
    auto began = std::chrono::steady_clock::now();
    NTSTATUS result = (system.*step)();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    observer->Started(system, result, ms);
    return result;
  };
  status = start(&CameraSystem::StartDevice);
  if (camera.tap->Camera().ReEnumerations() > 0) {
    observer->ReEnumerated();
    status = start(&CameraSystem::ReEnumerate);
  }
  return status;
}

std::unique_ptr<CameraRig> CameraRig::Plug(const CameraChoice& choice, sim::CameraOptions simulated,
                                           std::string* error, BringUpObserver* observer) {
  if (!UseStateDirectory(choice.stateDir, error)) return nullptr;
  std::unique_ptr<CameraRig> rig(new CameraRig);
  rig->driverFile_ = choice.driverFile;
  rig->chosen_ = choice.camera;
  simulated.scene = choice.scene;
  simulated.paced = !choice.unpaced;
  for (unsigned index = 0; index < choice.cameras; ++index) {
    Plugged camera;
    auto tap = std::make_unique<FrameTap>(std::make_unique<sim::SimulatedCamera>(simulated));
    camera.tap = tap.get();
    camera.system = std::make_unique<CameraSystem>(std::move(tap), index + 1);
    // Each camera runs its own copy of the image: the class driver of each
    // calls its entry, whose initialisation code is discarded afterwards.
    if (!choice.driverFile.empty() && !camera.system->UseDriverImage(choice.driverFile, error)) {
      *error = choice.driverFile + ": " + *error;
      return nullptr;
    }
    rig->cameras_.push_back(std::move(camera));
    Plugged& plugged = rig->cameras_.back();
    plugged.status = rig->BringUp(plugged, index == choice.camera ? observer : nullptr);
  }
  return rig;
}

std::unique_ptr<CameraRig> CameraRig::PlugReady(const CameraChoice& choice, std::string* error) {
  std::unique_ptr<CameraRig> rig = Plug(choice, FreshFromTheBox(), error);
  if (!rig) return nullptr;
  if (choice.camera >= rig->Count()) {
    *error = "no camera " + std::to_string(choice.camera) + " (" + std::to_string(rig->Count()) +
             " present; kscam list shows them)";
    return nullptr;
  }
  if (!rig->System().Ready()) {
    *error = "no camera: camera " + std::to_string(choice.camera) + " did not start (" +
             StatusText(rig->Status(choice.camera)) + ")";
    return nullptr;
  }
  return rig;
}

std::string DeviceInstance(CameraSystem& system) {
  std::string key = host::DriverKeyPath(system.Bus().PhysicalDeviceObject());
  const std::string prefix = "Enum\\", suffix = "\\Driver";
  if (key.size() < prefix.size() + suffix.size()) return "unknown";
  return key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
}

}  // namespace kscam

namespace kscam {

bool OpenCameraSession(const CameraChoice& choice, const ClientOptions& options, CameraSession* session,
                       std::string* error) {
  session->rig = CameraRig::PlugReady(choice, error);
  if (!session->rig) return false;
  session->client = std::make_unique<CameraClient>(session->rig->System(), options);
  NTSTATUS status = session->client->Open();
  if (!NT_SUCCESS(status)) {
    *error = "the camera's filter does not open: " + StatusText(status);
    return false;
  }
  session->controls = std::make_unique<CameraControls>(session->rig->System().KsDevice(), session->client->Filter());
  return true;
}

}  // namespace kscam
