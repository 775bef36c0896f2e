// The camera property set: one row per property saying how it is read and
// written, one handler for all of them, and the automation table made from
// the rows so that what the class driver lets through is what the rows do.
#include "controls/property_set.h"

#include "camera/sensor.h"
#include "controls/image_settings.h"
#include "usb/command_packets.h"
#include "usb/usb_requests.h"

namespace {

enum class GetOp : UCHAR {
  None,
  Constant,    // the row's constant
  Record,      // a record field (RecordField)
  Image,       // an image setting, refreshed from the live pipeline
  Trigger,     // sensor trigger bits
  GlobalGain,  // sensor global gain register
  Mirror,      // sensor mirror register, the row's bit
  PinOpen,
  HalfClock,   // the camera's clock query
};

enum class SetOp : UCHAR {
  None,
  Trigger,
  Timeout,
  Exposure,
  GlobalGain,
  MirrorHorizontal,
  MirrorVertical,
  Image,
  Region,
  ExtendedCommand,
  HalfClock,
  Accept,  // taken and dropped: the camera has no automatic gain or exposure
};

// Record fields read as they are.
enum class RecordField : UCHAR { None, Timeout, Exposure, SubSample, RoiX, RoiY, RoiWidth, RoiHeight, Agc, Aec };

struct PropertyRow {
  GetOp get;
  SetOp set;
  RecordField record;
  ImageSetting image;
  LONG constant;  // constant value, or the mirror bit
};

constexpr PropertyRow Constant(LONG value) { return {GetOp::Constant, SetOp::None, RecordField::None, ImageSetting::Hue, value}; }
constexpr PropertyRow Record(RecordField field, SetOp set = SetOp::None) { return {GetOp::Record, set, field, ImageSetting::Hue, 0}; }
constexpr PropertyRow Image(ImageSetting setting) { return {GetOp::Image, SetOp::Image, RecordField::None, setting, 0}; }
constexpr PropertyRow Row(GetOp get, SetOp set, LONG constant = 0) { return {get, set, RecordField::None, ImageSetting::Hue, constant}; }

constexpr ULONG kMirrorHorizontalBit = 14;
constexpr ULONG kMirrorVerticalBit = 15;
constexpr UCHAR kTriggerBit = 8;
constexpr ULONG kGlobalGainMask = 0x7F;
constexpr ULONG kTimeoutFloorMs = 500;  // timeouts at or below this are ignored

// Indexed by property ID.
constexpr PropertyRow kRows[kCameraPropertyCount] = {
    Row(GetOp::Trigger, SetOp::Trigger),                   // 0 external trigger
    Record(RecordField::Timeout, SetOp::Timeout),          // 1 frame timeout, ms
    Record(RecordField::Exposure, SetOp::Exposure),        // 2 exposure
    Constant(1), Constant(6400), Constant(200),            // 3..5 exposure range, default
    Row(GetOp::GlobalGain, SetOp::GlobalGain),             // 6 global gain
    Constant(1), Constant(63), Constant(14),               // 7..9 gain range, default
    Row(GetOp::Mirror, SetOp::MirrorHorizontal, kMirrorHorizontalBit),  // 10
    Row(GetOp::Mirror, SetOp::MirrorVertical, kMirrorVerticalBit),      // 11
    Image(ImageSetting::ColourEnable),                     // 12
    Image(ImageSetting::WhiteBalance),                     // 13
    Image(ImageSetting::RedGain),                          // 14
    Image(ImageSetting::GreenGain),                        // 15
    Image(ImageSetting::BlueGain),                         // 16
    Constant(1), Constant(512), Constant(128),             // 17..19 colour gain range, default
    Image(ImageSetting::Brightness),                       // 20
    Constant(0), Constant(510), Constant(255),             // 21..23
    Image(ImageSetting::Contrast),                         // 24
    Constant(0), Constant(20), Constant(10),               // 25..27
    Image(ImageSetting::Saturation),                       // 28
    Constant(0), Constant(20), Constant(10),               // 29..31
    Image(ImageSetting::Hue),                              // 32
    Constant(0), Constant(359), Constant(0),               // 33..35
    Constant(3),                                           // 36 largest subsampling mode
    Record(RecordField::SubSample),                        // 37
    Constant(kSensorWidth), Constant(kSensorHeight),       // 38, 39
    Record(RecordField::RoiX), Record(RecordField::RoiY),  // 40, 41
    Record(RecordField::RoiWidth), Record(RecordField::RoiHeight),  // 42, 43
    Row(GetOp::None, SetOp::Region),                       // 44 region and subsampling
    Row(GetOp::PinOpen, SetOp::None),                      // 45
    Constant(1),                                           // 46
    Row(GetOp::None, SetOp::ExtendedCommand),              // 47
    Image(ImageSetting::Correction),                       // 48
    Row(GetOp::HalfClock, SetOp::HalfClock),               // 49
    Constant(1), Constant(1), Constant(1), Constant(0), Constant(0),  // 50..54
    Record(RecordField::Agc, SetOp::Accept),               // 55
    Record(RecordField::Aec, SetOp::Accept),               // 56
};

constexpr ULONG kValueBytes = sizeof(CameraPropertyValue);
constexpr ULONG kRoiBytes = sizeof(CameraRoiValue);

struct PropertyItems {
  KSPROPERTY_ITEM items[kCameraPropertyCount];
};

// The automation table's items, made from the rows at compile time.
constexpr PropertyItems MakeItems() {
  PropertyItems table = {};
  for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
    KSPROPERTY_ITEM& item = table.items[id];
    ULONG bytes = kRows[id].set == SetOp::Region ? kRoiBytes : kValueBytes;
    item.PropertyId = id;
    item.GetPropertyHandler = kRows[id].get != GetOp::None ? CameraPropertyHandler : nullptr;
    item.MinProperty = bytes;
    item.MinData = bytes;
    item.SetPropertyHandler = kRows[id].set != SetOp::None ? CameraPropertyHandler : nullptr;
  }
  return table;
}

constexpr PropertyItems kItems = MakeItems();

const KSPROPERTY_SET kPropertySets[] = {
    {&kCameraPropertySet, kCameraPropertyCount, kItems.items, 0, nullptr},
};

LONG* Field(DeviceContext* ctx, RecordField field) {
  switch (field) {
    case RecordField::Timeout: return &ctx->frameTimeoutMs;
    case RecordField::Exposure: return reinterpret_cast<LONG*>(&ctx->exposure);
    case RecordField::SubSample: return &ctx->subSample;
    case RecordField::RoiX: return &ctx->roiX;
    case RecordField::RoiY: return &ctx->roiY;
    case RecordField::RoiWidth: return &ctx->roiWidth;
    case RecordField::RoiHeight: return &ctx->roiHeight;
    case RecordField::Agc: return &ctx->agc;
    case RecordField::Aec: return &ctx->aec;
    case RecordField::None: break;
  }
  return nullptr;
}

// A register read that updates the record only when the sensor answered.
// Call with the exchange mutex held.
LONG ReadTrigger(DeviceContext* ctx) {
  ULONG value = 0;
  if (!ReadSensorRegister(ctx, kRegTrigger, &value)) return 0;
  ctx->exTrigger = LONG(value >> kTriggerBit & 1);
  return ctx->exTrigger;
}

LONG ReadGlobalGain(DeviceContext* ctx) {
  ULONG value = 0;
  if (ReadSensorRegister(ctx, kRegGlobalGain, &value)) ctx->globalGain = value & kGlobalGainMask;
  return LONG(ctx->globalGain);
}

LONG ReadMirror(DeviceContext* ctx, ULONG bit) {
  LONG* field = bit == kMirrorHorizontalBit ? &ctx->flipH : &ctx->flipV;
  ULONG value = 0;
  if (ReadSensorRegister(ctx, kRegMirror, &value)) *field = LONG(value >> bit & 1);
  return *field;
}

// The clock query answers with two reply packets; the first byte of the
// last one says whether the sensor runs at half clock.
LONG QueryHalfClock(DeviceContext* ctx) {
  PreparePacket(ctx->commandPacket, kCommandHalfClockQuery);
  if (!SendCommand(ctx, ctx->commandPacket) || !ReceiveReply(ctx, ctx->commandPacket) ||
      !ReceiveReply(ctx, ctx->commandPacket))
    return 0;
  ctx->halfClock = ctx->commandPacket[0] != 0 ? 1 : 0;
  return ctx->halfClock;
}

// The camera's extended setting command with its fixed parameters.
void SendExtendedCommand(DeviceContext* ctx) {
  UCHAR packet[kPacketBytes];
  PreparePacket(packet, kCommandExtendedSetting);
  packet[1] = 0x03;
  packet[2] = 0x50;
  SendCommand(ctx, packet);
}

// Call with the exchange mutex held.
LONG GetValue(DeviceContext* ctx, const PropertyRow& row) {
  switch (row.get) {
    case GetOp::Record: return *Field(ctx, row.record);
    case GetOp::Image: return RefreshImageSetting(ctx, row.image);
    case GetOp::Trigger: return ReadTrigger(ctx);
    case GetOp::GlobalGain: return ReadGlobalGain(ctx);
    case GetOp::Mirror: return ReadMirror(ctx, ULONG(row.constant));
    case GetOp::PinOpen: return InterlockedCompareExchange(&ctx->pinOpen, 0, 0);
    case GetOp::HalfClock: return QueryHalfClock(ctx);
    default: return row.constant;
  }
}

// Call with the exchange mutex held.
void SetValue(DeviceContext* ctx, const PropertyRow& row, PVOID data) {
  LONG value = static_cast<CameraPropertyValue*>(data)->value;
  switch (row.set) {
    case SetOp::Trigger: SetExTrigger(ctx, value != 0); break;
    case SetOp::Timeout:
      if (ULONG(value) > kTimeoutFloorMs) StoreFrameTimeout(ctx, value);
      break;
    case SetOp::Exposure: SetExposure(ctx, ULONG(value)); break;
    case SetOp::GlobalGain: SetGlobalGain(ctx, ULONG(value)); break;
    case SetOp::MirrorHorizontal: SetFlipH(ctx, value); break;
    case SetOp::MirrorVertical: SetFlipV(ctx, value); break;
    case SetOp::Image: PublishImageSetting(ctx, row.image, value); break;
    case SetOp::Region: {
      auto* region = static_cast<CameraRoiValue*>(data);
      SetGeometry(ctx, region->left, region->top, region->width, region->height, region->mode);
      break;
    }
    case SetOp::ExtendedCommand: SendExtendedCommand(ctx); break;
    case SetOp::HalfClock: SetHalfClock(ctx, value); break;
    case SetOp::Accept:
    case SetOp::None: break;
  }
}

DeviceContext* DeviceOfRequest(PIRP irp) {
  if (irp == nullptr) return nullptr;
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  return filter == nullptr ? nullptr : DeviceContextOf(KsGetDevice(filter));
}

}  // namespace

const KSAUTOMATION_TABLE kCameraAutomationTable = {
    1, sizeof(KSPROPERTY_ITEM), kPropertySets,  // properties
    0, 0, nullptr,                              // no methods
    0, 0, nullptr,                              // no events
};

// Every request runs under the exchange mutex: register exchanges never
// interleave, and the record's settings, which the settings store reads and
// writes under the same mutex, change one request at a time. Constants need
// no device. A camera that has left the bus fails every other request, also
// one it left during: a value set then may never have reached the sensor,
// and a value read then is the record's, not the camera's.
NTSTATUS NTAPI CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  if (request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  if (request->Id >= kCameraPropertyCount) return STATUS_NOT_FOUND;
  const PropertyRow& row = kRows[request->Id];
  bool set = request->Flags == KSPROPERTY_TYPE_SET;
  if (set ? row.set == SetOp::None : row.get == GetOp::None) return STATUS_INVALID_DEVICE_REQUEST;
  if (row.get == GetOp::Constant && !set) {
    static_cast<CameraPropertyValue*>(data)->value = row.constant;
    return STATUS_SUCCESS;
  }
  DeviceContext* ctx = DeviceOfRequest(irp);
  if (ctx == nullptr) return STATUS_UNSUCCESSFUL;
  if (DeviceGone(&ctx->usb)) return STATUS_DEVICE_NOT_CONNECTED;
  AcquireExchangeMutex(ctx);
  if (set) SetValue(ctx, row, data);
  else static_cast<CameraPropertyValue*>(data)->value = GetValue(ctx, row);
  ReleaseExchangeMutex(ctx);
  return DeviceGone(&ctx->usb) ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
}
