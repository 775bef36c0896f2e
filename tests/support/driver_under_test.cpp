// The driver the suites run: the host build's, or, with KSCAM_TEST_DRIVER
// naming a kscam.sys, the Windows build itself loaded into the platform, so
// that the end-to-end suites also test the binary users install.
#include <stdlib.h>

#include "tools/client/camera_system.h"

namespace {

const bool kChosen = [] {
  const char* image = getenv("KSCAM_TEST_DRIVER");
  if (image != nullptr && *image != '\0') kscam::CameraSystem::SetDefaultDriverImage(image);
  return true;
}();

}  // namespace
