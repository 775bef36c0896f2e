// kscam controls, get and set: the camera's controls by name. A set reads
// each value back, since the camera clamps what it cannot take; the driver
// keeps the settings in the registry, which persists in the state directory.
#include <CLI/CLI.hpp>
#include <stdio.h>

#include "platform/registry_host.h"
#include "tools/client/status_text.h"
#include "tools/kscam/camera_rig.h"
#include "tools/kscam/commands.h"
#include "tools/kscam/region_request.h"

namespace {

// Names that are no single control: the window and its subsampling, set as one region.
const char kRoi[] = "roi";
const char kSubsample[] = "subsample";

struct ControlArguments {
  kscam::CameraChoice camera;
  std::vector<std::string> items;
};

// --- controls ---

void PrintControl(const kscam::ControlInfo& control) {
  bool boolean = control.type == kscam::ControlType::Boolean;
  printf("%31s 0x%08x %-8s :", control.name.c_str(), control.id, boolean ? "(bool)" : "(int)");
  if (!boolean) printf(" min=%d max=%d step=%d", control.minimum, control.maximum, control.step);
  printf(" default=%d value=%d", control.defaultValue, control.current);
  if (!control.unit.empty()) printf(" %s", control.unit.c_str());
  std::string flags = control.readOnly ? "read-only" : "";
  if (control.inactive) flags += flags.empty() ? "inactive" : ",inactive";
  if (!flags.empty()) printf(" flags=%s", flags.c_str());
  printf("\n");
}

int RunControls(const kscam::CameraChoice& choice) {
  kscam::CameraSession session;
  std::string error;
  if (!kscam::OpenCameraSession(choice, kscam::ClientOptions(), &session, &error))
    return ReportFailure("controls", error);
  std::vector<kscam::ControlInfo> controls;
  NTSTATUS status = session.controls->List(&controls);
  if (!NT_SUCCESS(status)) return ReportFailure("controls", "the camera did not answer: " + kscam::StatusText(status));
  for (const kscam::ControlInfo& control : controls) PrintControl(control);
  return 0;
}

// --- get ---

bool IsControl(const std::string& name) {
  for (const std::string& control : kscam::ControlNames())
    if (control == name) return true;
  return false;
}

std::string UnknownControl(const std::string& name) {
  return "unknown control '" + name + "' (kscam controls lists them)";
}

int RunGet(const ControlArguments& arguments) {
  for (const std::string& name : arguments.items)
    if (name != kRoi && name != kSubsample && !IsControl(name)) return ReportFailure("get", UnknownControl(name));
  kscam::CameraSession session;
  std::string error;
  if (!kscam::OpenCameraSession(arguments.camera, kscam::ClientOptions(), &session, &error))
    return ReportFailure("get", error);
  for (const std::string& name : arguments.items) {
    kscam::Region region;
    int32_t value = 0;
    bool isRegion = name == kRoi || name == kSubsample;
    NTSTATUS status = isRegion ? session.controls->GetRegion(&region) : session.controls->Get(name, &value);
    if (!NT_SUCCESS(status)) return ReportFailure("get", name + ": " + kscam::StatusText(status));
    std::string text = name == kRoi ? kscam::RegionText(region) : std::to_string(name == kSubsample ? region.mode : value);
    printf("%s: %s\n", name.c_str(), text.c_str());
  }
  return 0;
}

// --- set ---

struct Assignment {
  std::string name;
  std::string text;
};

// NAME=VALUE items, several to an argument with commas between them; a part
// without '=' continues the value before it (roi=x,y,w,h).
bool SplitAssignments(const std::vector<std::string>& items, std::vector<Assignment>* assignments, std::string* error) {
  for (const std::string& item : items) {
    for (const std::string& part : CLI::detail::split(item, ',')) {
      size_t equals = part.find('=');
      if (equals != std::string::npos) {
        assignments->push_back({part.substr(0, equals), part.substr(equals + 1)});
      } else if (!assignments->empty() && !part.empty()) {
        assignments->back().text += "," + part;
      } else {
        *error = "'" + part + "' is not NAME=VALUE";
        return false;
      }
    }
  }
  return true;
}

// What a set asks for, checked whole before anything changes.
struct SetRequest {
  std::vector<std::pair<std::string, int32_t>> controls;
  kscam::RegionRequest region;
};

bool CheckAssignments(const std::vector<Assignment>& assignments, const std::vector<kscam::ControlInfo>& controls,
                      SetRequest* request, std::string* error) {
  for (const Assignment& assignment : assignments) {
    auto refuse = [&](const std::string& why) {
      *error = "value refused: " + assignment.name + "=" + assignment.text + " " + why;
      return false;
    };
    if (assignment.name == kRoi) {
      kscam::Region window;
      if (!kscam::ParseRegionText(assignment.text, &window)) return refuse("(wants roi=x,y,w,h)");
      request->region.window = window;
      continue;
    }
    int32_t value;
    if (!kscam::ParseSettingValue(assignment.text, &value)) return refuse("is not a whole number");
    if (assignment.name == kSubsample) {
      request->region.subsample = value;
      continue;
    }
    auto control = std::find_if(controls.begin(), controls.end(),
                                [&](const kscam::ControlInfo& c) { return c.name == assignment.name; });
    if (control == controls.end()) {
      *error = UnknownControl(assignment.name);
      return false;
    }
    if (control->readOnly) return refuse("(the control is read-only)");
    request->controls.emplace_back(assignment.name, value);
  }
  return true;
}

int RunSet(const ControlArguments& arguments) {
  std::vector<Assignment> assignments;
  std::string error;
  if (!SplitAssignments(arguments.items, &assignments, &error)) return ReportFailure("set", error, kExitUsage);
  kscam::CameraSession session;
  if (!kscam::OpenCameraSession(arguments.camera, kscam::ClientOptions(), &session, &error))
    return ReportFailure("set", error);
  std::vector<kscam::ControlInfo> controls;
  NTSTATUS status = session.controls->List(&controls);
  if (!NT_SUCCESS(status)) return ReportFailure("set", "the camera did not answer: " + kscam::StatusText(status));
  SetRequest request;
  if (!CheckAssignments(assignments, controls, &request, &error)) return ReportFailure("set", error);
  for (const auto& [name, value] : request.controls) {
    int32_t now = 0;
    status = session.controls->Set(name, value);
    if (NT_SUCCESS(status)) status = session.controls->Get(name, &now);
    if (!NT_SUCCESS(status)) return ReportFailure("set", "value refused: " + name + ": " + kscam::StatusText(status));
    printf("%s\n", kscam::ValueReport(name, std::to_string(value), std::to_string(now)).c_str());
  }
  if (!request.region.Empty()) {
    std::vector<std::string> report;
    status = kscam::ApplyRegion(*session.controls, request.region, &report);
    if (!NT_SUCCESS(status)) return ReportFailure("set", "value refused: roi: " + kscam::StatusText(status));
    for (const std::string& line : report) printf("%s\n", line.c_str());
  }
  // The driver writes its settings when the filter closes.
  session.controls.reset();
  session.client.reset();
  if (!host::FlushRegistry()) return ReportFailure("set", "the settings could not be saved in the state directory");
  return 0;
}

}  // namespace

CommandRunner DefineControls(CLI::App& command) {
  auto choice = std::make_shared<kscam::CameraChoice>();
  kscam::AddCameraOptions(command, choice.get());
  return [choice] { return RunControls(*choice); };
}

CommandRunner DefineGet(CLI::App& command) {
  auto arguments = std::make_shared<ControlArguments>();
  kscam::AddCameraOptions(command, &arguments->camera);
  command.add_option("NAME", arguments->items, "controls to print (and roi, subsample)")->required();
  return [arguments] { return RunGet(*arguments); };
}

CommandRunner DefineSet(CLI::App& command) {
  auto arguments = std::make_shared<ControlArguments>();
  kscam::AddCameraOptions(command, &arguments->camera);
  command.add_option("NAME=VALUE", arguments->items, "NAME=VALUE[,NAME=VALUE...]; roi=x,y,w,h; subsample=N")
      ->required();
  return [arguments] { return RunSet(*arguments); };
}
