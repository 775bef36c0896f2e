// kscam view: the live view server on the chosen camera, until Ctrl-C.
#include <CLI/CLI.hpp>
#include <stdio.h>

#include <memory>

#include "tools/kscam/camera_rig.h"
#include "tools/kscam/commands.h"
#include "tools/view/live_view.h"

namespace {

struct ViewOptions {
  kscam::CameraChoice camera;
  kscam::LiveViewOptions view;
};

int RunView(const ViewOptions& options) {
  std::string error;
  std::unique_ptr<kscam::CameraRig> rig = kscam::CameraRig::PlugReady(options.camera, &error);
  if (!rig) return ReportFailure("view", error);
  return kscam::RunLiveView(rig->System(), options.view);
}

}  // namespace

CommandRunner DefineView(CLI::App& command) {
  auto options = std::make_shared<ViewOptions>();
  // The simulated bus runs at a USB 2.0 bulk rate unless --unpaced, so that
  // the rates the page shows are those of a real camera rather than of this
  // machine's CPU.
  kscam::AddCameraOptions(command, &options->camera);
  command.add_option("--port", options->view.port, "the port on 127.0.0.1 (0: any free one)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  return [options] { return RunView(*options); };
}
