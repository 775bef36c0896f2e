// The sensor window and its subsampling as the command line asks for them:
// roi=x,y,w,h and subsample=N, set together as the camera's one region.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/client/camera_controls.h"

namespace kscam {

struct RegionRequest {
  std::optional<Region> window;  // its mode is unused
  std::optional<int32_t> subsample;
  bool Empty() const { return !window && !subsample; }
};

// "x,y,w,h"
std::string RegionText(const Region& region);
bool ParseRegionText(const std::string& text, Region* region);
// A whole number, or on/off/true/false for a switch.
bool ParseSettingValue(const std::string& text, int32_t* value);

// Sets the region: a window without a mode asks for the window itself
// (mode 0); a mode without a window keeps the current window. Each part asked
// for gets a line in *report with the value read back, saying when the
// camera clamped it.
NTSTATUS ApplyRegion(CameraControls& controls, const RegionRequest& request, std::vector<std::string>* report);

// "name: value", or "name: value (the camera clamped asked)".
std::string ValueReport(const std::string& name, const std::string& asked, const std::string& got);

}  // namespace kscam
