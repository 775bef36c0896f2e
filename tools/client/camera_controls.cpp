#include "tools/client/camera_controls.h"

#include "controls/property_set.h"

namespace kscam {

namespace {

// Where a control's range and default come from: the camera's own constant
// properties when it has them, else the values here.
struct ControlRow {
  const char* name;
  ULONG id;
  ControlType type;
  LONG minimumId;  // -1: use minimum/maximum/defaultValue below
  int32_t minimum;
  int32_t maximum;
  int32_t defaultValue;
  bool readOnly;
  bool refusedWhilePinOpen;
  const char* unit;
  const char* overriddenBy;
};

constexpr LONG kOwn = -1;

const ControlRow kControls[] = {
    {"exposure", kPropExposure, ControlType::Integer, kPropExposureMinimum, 0, 0, 0, false, false, "", ""},
    {"gain", kPropGlobalGain, ControlType::Integer, kPropGainMinimum, 0, 0, 0, false, false, "", ""},
    {"horizontal_flip", kPropFlipHorizontal, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"vertical_flip", kPropFlipVertical, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"colour_enable", kPropColourEnable, ControlType::Boolean, kOwn, 0, 1, 1, false, false, "", ""},
    {"white_balance_automatic", kPropWhiteBalance, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"red_gain", kPropRedGain, ControlType::Integer, kPropColourGainMinimum, 0, 0, 0, false, false, "", "white_balance_automatic"},
    {"green_gain", kPropGreenGain, ControlType::Integer, kPropColourGainMinimum, 0, 0, 0, false, false, "", "white_balance_automatic"},
    {"blue_gain", kPropBlueGain, ControlType::Integer, kPropColourGainMinimum, 0, 0, 0, false, false, "", "white_balance_automatic"},
    {"brightness", kPropBrightness, ControlType::Integer, kPropBrightnessMinimum, 0, 0, 0, false, false, "", ""},
    {"contrast", kPropContrast, ControlType::Integer, kPropContrastMinimum, 0, 0, 0, false, false, "", ""},
    {"saturation", kPropSaturation, ControlType::Integer, kPropSaturationMinimum, 0, 0, 0, false, false, "", ""},
    {"hue", kPropHue, ControlType::Integer, kPropHueMinimum, 0, 0, 0, false, false, "degrees", ""},
    {"colour_correction", kPropColourCorrection, ControlType::Boolean, kOwn, 0, 1, 1, false, false, "", ""},
    {"external_trigger", kPropExternalTrigger, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"half_clock", kPropHalfClock, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"frame_timeout_ms", kPropFrameTimeout, ControlType::Integer, kOwn, 501, 9999, 3000, false, false, "ms", ""},
    {"gain_automatic", kPropAutoGain, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"exposure_automatic", kPropAutoExposure, ControlType::Boolean, kOwn, 0, 1, 0, false, false, "", ""},
    {"subsampling", kPropSubsampling, ControlType::Integer, kOwn, 0, 3, 0, true, true, "", ""},
    {"region_left", kPropRegionLeft, ControlType::Integer, kOwn, 0, 2559, 0, true, true, "pixels", ""},
    {"region_top", kPropRegionTop, ControlType::Integer, kOwn, 0, 1919, 0, true, true, "pixels", ""},
    {"region_width", kPropRegionWidth, ControlType::Integer, kOwn, 32, 2560, 2560, true, true, "pixels", ""},
    {"region_height", kPropRegionHeight, ControlType::Integer, kOwn, 32, 1920, 1920, true, true, "pixels", ""},
    {"sensor_width", kPropSensorWidth, ControlType::Integer, kOwn, 2560, 2560, 2560, true, false, "pixels", ""},
    {"sensor_height", kPropSensorHeight, ControlType::Integer, kOwn, 1920, 1920, 1920, true, false, "pixels", ""},
    {"capture_pin_open", kPropPinOpen, ControlType::Boolean, kOwn, 0, 1, 0, true, false, "", ""},
};

const ControlRow* Find(const std::string& name) {
  for (const ControlRow& row : kControls)
    if (name == row.name) return &row;
  return nullptr;
}

CameraPropertyValue Record(ULONG id, ULONG flags, int32_t value) {
  CameraPropertyValue record = {};
  record.property.Set = kCameraPropertySet;
  record.property.Id = id;
  record.property.Flags = flags;
  record.value = value;
  return record;
}

// Fills the range and default of a row from the camera's constants.
NTSTATUS Describe(host::KsDeviceHost& device, PKSFILTER filter, const ControlRow& row, ControlInfo* info) {
  info->name = row.name;
  info->id = row.id;
  info->unit = row.unit;
  info->overriddenBy = row.overriddenBy;
  info->type = row.type;
  info->readOnly = row.readOnly;
  info->refusedWhilePinOpen = row.refusedWhilePinOpen;
  info->minimum = row.minimum;
  info->maximum = row.maximum;
  info->defaultValue = row.defaultValue;
  NTSTATUS status = STATUS_SUCCESS;
  if (row.minimumId != kOwn) {
    status = GetCameraProperty(device, filter, ULONG(row.minimumId), &info->minimum);
    if (NT_SUCCESS(status)) status = GetCameraProperty(device, filter, ULONG(row.minimumId + 1), &info->maximum);
    if (NT_SUCCESS(status)) status = GetCameraProperty(device, filter, ULONG(row.minimumId + 2), &info->defaultValue);
  }
  if (NT_SUCCESS(status)) status = GetCameraProperty(device, filter, row.id, &info->current);
  return status;
}

}  // namespace

NTSTATUS SendPropertyRequest(host::KsDeviceHost& device, PKSFILTER filter, const void* request, ULONG requestBytes,
                             void* data, ULONG dataBytes, ULONG* information) {
  return host::FilterPropertyRequest(device, filter, request, requestBytes, data, dataBytes, information);
}

NTSTATUS GetCameraProperty(host::KsDeviceHost& device, PKSFILTER filter, ULONG id, int32_t* value) {
  CameraPropertyValue request = Record(id, KSPROPERTY_TYPE_GET, 0);
  CameraPropertyValue data = request;
  ULONG information = 0;
  NTSTATUS status = SendPropertyRequest(device, filter, &request, sizeof(request), &data, sizeof(data), &information);
  if (NT_SUCCESS(status)) *value = data.value;
  return status;
}

NTSTATUS SetCameraProperty(host::KsDeviceHost& device, PKSFILTER filter, ULONG id, int32_t value) {
  CameraPropertyValue request = Record(id, KSPROPERTY_TYPE_SET, value);
  CameraPropertyValue data = request;
  ULONG information = 0;
  return SendPropertyRequest(device, filter, &request, sizeof(request), &data, sizeof(data), &information);
}

std::vector<std::string> ControlNames() {
  std::vector<std::string> names;
  for (const ControlRow& row : kControls) names.push_back(row.name);
  return names;
}

NTSTATUS CameraControls::List(std::vector<ControlInfo>* controls) {
  controls->clear();
  for (const ControlRow& row : kControls) {
    ControlInfo info;
    NTSTATUS status = Describe(device_, filter_, row, &info);
    if (!NT_SUCCESS(status)) return status;
    controls->push_back(info);
  }
  // A control is inactive while the switch that overrides it is on.
  for (ControlInfo& info : *controls)
    for (const ControlInfo& overriding : *controls)
      if (overriding.name == info.overriddenBy) info.inactive = overriding.current != 0;
  return STATUS_SUCCESS;
}

NTSTATUS CameraControls::Get(const std::string& name, int32_t* value) {
  const ControlRow* row = Find(name);
  if (row == nullptr) return STATUS_NOT_FOUND;
  return GetCameraProperty(device_, filter_, row->id, value);
}

NTSTATUS CameraControls::Set(const std::string& name, int32_t value) {
  const ControlRow* row = Find(name);
  if (row == nullptr) return STATUS_NOT_FOUND;
  if (row->readOnly) return STATUS_INVALID_DEVICE_REQUEST;
  return SetCameraProperty(device_, filter_, row->id, value);
}

NTSTATUS CameraControls::GetRegion(Region* region) {
  const struct {
    ULONG id;
    int32_t* field;
  } reads[] = {{kPropSubsampling, &region->mode},  {kPropRegionLeft, &region->left},
               {kPropRegionTop, &region->top},      {kPropRegionWidth, &region->width},
               {kPropRegionHeight, &region->height}};
  for (const auto& read : reads) {
    NTSTATUS status = GetCameraProperty(device_, filter_, read.id, read.field);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CameraControls::SetRegion(const Region& region) {
  CameraRoiValue record = {};
  record.property.Set = kCameraPropertySet;
  record.property.Id = kPropRegion;
  record.property.Flags = KSPROPERTY_TYPE_SET;
  record.mode = region.mode;
  record.left = region.left;
  record.top = region.top;
  record.width = region.width;
  record.height = region.height;
  CameraRoiValue data = record;
  ULONG information = 0;
  return SendPropertyRequest(device_, filter_, &record, sizeof(record), &data, sizeof(data), &information);
}

}  // namespace kscam
