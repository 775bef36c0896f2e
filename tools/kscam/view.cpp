// kscam view: the live view server on the simulated camera, until Ctrl-C.
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <stdexcept>

#include "tools/client/status_text.h"
#include "tools/kscam/commands.h"
#include "tools/view/live_view.h"

namespace {

constexpr const char* kViewUsage =
    "usage: kscam view [--port N] [--camera ID] [--scene bars|chart|ramp] [--driver FILE.sys]\n"
    "  Serves the camera's live picture and its controls on http://127.0.0.1:N/ (default 8080)\n"
    "  until Ctrl-C. --camera picks the camera by index; the simulated camera is camera 0.";

struct ViewArguments {
  kscam::LiveViewOptions view;
  sim::CameraOptions camera;
  std::string driverFile;
};

// A whole number within [low, high] from the command line.
bool WholeNumber(const std::string& text, long low, long high, long* value) {
  char* end = nullptr;
  *value = strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && *value >= low && *value <= high;
}

// One option and its value; false with the reason in *error.
bool ParseViewOption(const std::string& option, const std::string& value, ViewArguments* parsed,
                     std::string* error) {
  long number = 0;
  if (option == "--port") {
    if (!WholeNumber(value, 1, 65535, &number)) *error = "--port takes 1 to 65535, not '" + value + "'";
    else parsed->view.port = int(number);
  } else if (option == "--camera") {
    if (!WholeNumber(value, 0, 0, &number)) *error = "there is no camera '" + value + "': camera 0 is the only one";
  } else if (option == "--scene") {
    parsed->camera.scene = value;
  } else if (option == "--driver") {
    parsed->driverFile = value;
  } else {
    *error = "unknown option '" + option + "'";
  }
  return error->empty();
}

bool ParseViewArguments(const CommandArguments& arguments, ViewArguments* parsed, std::string* error) {
  for (size_t i = 0; i < arguments.size(); i += 2) {
    if (i + 1 == arguments.size()) {
      *error = "'" + arguments[i] + "' needs a value";
      return false;
    }
    if (!ParseViewOption(arguments[i], arguments[i + 1], parsed, error)) return false;
  }
  return true;
}

}  // namespace

int RunView(const CommandArguments& arguments) {
  if (arguments.size() == 1 && arguments[0] == "--help") {
    printf("%s\n", kViewUsage);
    return 0;
  }
  ViewArguments parsed;
  // The simulated bus runs at a USB 2.0 bulk rate, so that the rates the
  // page shows are those of a real camera rather than of this machine's CPU.
  parsed.camera.paced = true;
  std::string error;
  if (!ParseViewArguments(arguments, &parsed, &error)) {
    fprintf(stderr, "kscam view: %s (--help for usage)\n", error.c_str());
    return 2;
  }
  std::unique_ptr<kscam::CameraSystem> camera;
  try {
    camera = std::make_unique<kscam::CameraSystem>(parsed.camera);
  } catch (const std::invalid_argument& refused) {
    fprintf(stderr, "kscam view: %s\n", refused.what());
    return 2;
  }
  if (!parsed.driverFile.empty() && !camera->UseDriverImage(parsed.driverFile, &error)) {
    fprintf(stderr, "kscam view: %s\n", error.c_str());
    return 1;
  }
  NTSTATUS status = camera->BringUp();
  if (!NT_SUCCESS(status)) {
    fprintf(stderr, "kscam view: the camera did not start: %s\n", kscam::StatusText(status).c_str());
    return 1;
  }
  int exitStatus = kscam::RunLiveView(*camera, parsed.view);
  camera->StopDevice();
  camera->RemoveDevice();
  return exitStatus;
}
