// The live view on a simulated camera showing the colour bars, for the
// browser test: prints "kscam view: serving http://127.0.0.1:PORT/" once it
// serves on a free port, and stops cleanly on SIGINT or SIGTERM.
#include <stdio.h>

#include "live_view_rig.h"
#include "tools/client/status_text.h"
#include "tools/view/live_view.h"

int main() {
  kscam::CameraSystem camera(view_test::BarsCamera());
  NTSTATUS status = view_test::PrepareCamera(camera);
  if (!NT_SUCCESS(status)) {
    fprintf(stderr, "live_view_test_server: the camera did not start: %s\n", kscam::StatusText(status).c_str());
    return 1;
  }
  kscam::LiveViewOptions options;
  options.port = 0;
  int exitStatus = kscam::RunLiveView(camera, options);
  camera.StopDevice();
  camera.RemoveDevice();
  return exitStatus;
}
