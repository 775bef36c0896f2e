// The controls as the page's JSON: descriptions, and the checks a value from
// a request passes before it reaches the driver.
#pragma once

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/client/camera_controls.h"

namespace kscam::view {

// The field of a region that a region control names (subsampling is the
// mode), or null for any other control.
int32_t* RegionField(Region& region, const std::string& control);

// name, type, minimum, maximum, step, default, value and flags: "read_only"
// for what nothing can change, "restarts_stream" for the region controls,
// which the server changes by restarting the pin.
nlohmann::json ControlJson(const ControlInfo& control);
nlohmann::json RegionJson(const Region& region);

// A value taken from a request, or why it cannot be: the HTTP status
// (200 when taken) and a sentence for the client.
struct ParsedValue {
  int status = 200;
  int32_t value = 0;
  std::string error;
};

// The body of a PUT: a bare JSON value or {"value": …}. An integer control
// takes a whole number that fits 32 bits (values beyond the control's range
// go to the driver, which clamps them); a boolean control takes true, false,
// 0 or 1.
ParsedValue ParseControlValue(const std::string& body, const ControlInfo& control);

// A region from {"mode", "left", "top", "width", "height"}; fields left out
// keep the current region's values.
ParsedValue ParseRegion(const std::string& body, const Region& current, Region* region);

// {"error": message}
std::string ErrorBody(const std::string& message);

}  // namespace kscam::view
