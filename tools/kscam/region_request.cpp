#include "tools/kscam/region_request.h"

#include <CLI/CLI.hpp>

namespace kscam {

std::string RegionText(const Region& region) {
  return std::to_string(region.left) + "," + std::to_string(region.top) + "," + std::to_string(region.width) + "," +
         std::to_string(region.height);
}

bool ParseSettingValue(const std::string& text, int32_t* value) {
  if (text == "on" || text == "true") return *value = 1, true;
  if (text == "off" || text == "false") return *value = 0, true;
  int64_t number;
  if (text.empty() || !CLI::detail::lexical_cast(text, number) || number < INT32_MIN || number > INT32_MAX) return false;
  *value = int32_t(number);
  return true;
}

bool ParseRegionText(const std::string& text, Region* region) {
  std::vector<std::string> parts = CLI::detail::split(text, ',');
  int32_t* fields[] = {&region->left, &region->top, &region->width, &region->height};
  if (parts.size() != std::size(fields)) return false;
  for (size_t i = 0; i < parts.size(); ++i)
    if (!ParseSettingValue(parts[i], fields[i])) return false;
  return true;
}

std::string ValueReport(const std::string& name, const std::string& asked, const std::string& got) {
  return asked == got ? name + ": " + got : name + ": " + got + " (the camera clamped " + asked + ")";
}

NTSTATUS ApplyRegion(CameraControls& controls, const RegionRequest& request, std::vector<std::string>* report) {
  Region region;
  NTSTATUS status = controls.GetRegion(&region);
  if (!NT_SUCCESS(status)) return status;
  if (request.window) {
    region.left = request.window->left, region.top = request.window->top;
    region.width = request.window->width, region.height = request.window->height;
  }
  region.mode = request.subsample.value_or(0);
  status = controls.SetRegion(region);
  Region now;
  if (NT_SUCCESS(status)) status = controls.GetRegion(&now);
  if (!NT_SUCCESS(status)) return status;
  if (request.window) report->push_back(ValueReport("roi", RegionText(region), RegionText(now)));
  if (request.subsample)
    report->push_back(ValueReport("subsample", std::to_string(region.mode), std::to_string(now.mode)));
  return STATUS_SUCCESS;
}

}  // namespace kscam
