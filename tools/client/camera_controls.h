// The camera's controls as applications use them: named, typed values with
// their ranges and defaults, read and changed through the camera's property
// set on an open filter. Nobody outside this file builds property records.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/ks_host.h"

namespace kscam {

enum class ControlType { Integer, Boolean };

struct ControlInfo {
  std::string name;
  uint32_t id = 0;  // the property's number in the camera's property set
  ControlType type = ControlType::Integer;
  int32_t minimum = 0;
  int32_t maximum = 0;
  int32_t step = 1;
  int32_t defaultValue = 0;
  int32_t current = 0;
  bool readOnly = false;
  bool refusedWhilePinOpen = false;  // changes nothing while a capture pin exists
  std::string unit;                  // empty when the value has none
  // The switch whose being on makes this value the camera's own choice
  // (the gains while white balance is automatic); empty when none does.
  std::string overriddenBy;
  bool inactive = false;             // that switch is on now
};

// The sensor window and its subsampling, set as one value.
struct Region {
  int32_t mode = 0;  // 0: the window itself; 1, 2, 3: 1280x960, 640x480, 320x240 of the whole sensor
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// One property request as a client sends it; *information is the bytes the
// driver returned. For tests that need the raw records.
NTSTATUS SendPropertyRequest(host::KsDeviceHost& device, PKSFILTER filter, const void* request, ULONG requestBytes,
                             void* data, ULONG dataBytes, ULONG* information);
NTSTATUS GetCameraProperty(host::KsDeviceHost& device, PKSFILTER filter, ULONG id, int32_t* value);
NTSTATUS SetCameraProperty(host::KsDeviceHost& device, PKSFILTER filter, ULONG id, int32_t value);

class CameraControls {
 public:
  CameraControls(host::KsDeviceHost& device, PKSFILTER filter) : device_(device), filter_(filter) {}

  // Every control with its range, default and current value, in a fixed order.
  NTSTATUS List(std::vector<ControlInfo>* controls);
  // STATUS_NOT_FOUND for a name that is no control; setting a read-only
  // control is STATUS_INVALID_DEVICE_REQUEST. Values out of range are
  // clamped by the camera, not refused.
  NTSTATUS Get(const std::string& name, int32_t* value);
  NTSTATUS Set(const std::string& name, int32_t value);
  NTSTATUS GetRegion(Region* region);
  // The camera clamps the window; nothing changes while a capture pin exists.
  NTSTATUS SetRegion(const Region& region);

 private:
  host::KsDeviceHost& device_;
  PKSFILTER filter_;
};

// The names of all controls, in List order.
std::vector<std::string> ControlNames();

}  // namespace kscam
