// A simulated camera made ready for the live view's tests: started, exposed
// so that the picture shows the scene, and set to the small 320 x 240
// subsampled window so that frames come quickly on a small machine.
#pragma once

#include "platform/registry_host.h"
#include "tools/client/camera_controls.h"
#include "tools/client/camera_system.h"

namespace view_test {

constexpr int32_t kUnityExposure = 200;
constexpr int32_t kUnityGain = 14;
constexpr int32_t kSmallMode = 3;  // 320 x 240 of the whole sensor

// The colour bars over a bus paced at a USB 2.0 bulk rate: an unpaced bus
// would deliver thousands of frames a second and take both cores from the
// server and the browser under test.
inline sim::CameraOptions BarsCamera() {
  sim::CameraOptions options;
  options.scene = "bars";
  options.paced = true;
  return options;
}

// The camera must not have started yet. Its settings are kept in memory,
// never in the user's registry file, so that no run changes the next.
inline NTSTATUS PrepareCamera(kscam::CameraSystem& camera) {
  host::UseRegistryFile("");
  NTSTATUS status = camera.BringUp();
  if (!NT_SUCCESS(status)) return status;
  PKSFILTER filter = camera.KsDevice().OpenFilter(&status);
  if (filter == nullptr) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  kscam::CameraControls controls(camera.KsDevice(), filter);
  status = controls.Set("exposure", kUnityExposure);
  if (NT_SUCCESS(status)) status = controls.Set("gain", kUnityGain);
  if (NT_SUCCESS(status)) status = controls.SetRegion(kscam::Region{kSmallMode, 0, 0, 2560, 1920});
  camera.KsDevice().CloseFilter(filter);
  return status;
}

}  // namespace view_test
