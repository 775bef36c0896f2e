// Sensor and bridge programming. The sensor's registers are reached through
// the camera firmware's register commands; reads that fail count as 0 where
// the value only selects a variant, and make a read-modify-write give up.
#include "camera/sensor.h"

#include "imaging/image_pipeline.h"
#include "stream/video_range.h"
#include "usb/command_packets.h"

namespace {

// Window register offsets: the sensor's first active row and column lie
// beyond its dark and border pixels.
constexpr LONG kRowStartOffset = 54;
constexpr LONG kColumnStartOffset = 16;
constexpr LONG kSmallestWindow = 32;

// Raw-frame lead-in of the two sensor revisions.
constexpr ULONG kShortLineOffset = 608;
constexpr ULONG kLongLineOffset = 884;
constexpr ULONG kRowTail = 16;
constexpr ULONG kFactor8RowExtra = 46;

constexpr ULONG kMirrorHorizontal = 0x4000;
constexpr ULONG kMirrorVertical = 0x8000;
constexpr ULONG kTriggerBits = 0x0300;

// Register values the sensor revision with the short lead-in needs before it
// delivers clean frames.
struct RegisterValue {
  UCHAR reg;
  USHORT value;
};
constexpr RegisterValue kRevisionSetup[] = {
    {0x27, 0x000B}, {0x3E, 0x0040}, {0x3F, 0x0004}, {0x40, 0x0007}, {0x42, 0x0005}, {0x43, 0x0001},
    {0x44, 0x0203}, {0x4C, 0x0010}, {0x4E, 0x2020}, {0x4F, 0x0014}, {0x51, 0x0007}, {0x53, 0x0007},
    {0x59, 0x0007}, {0x5A, 0x0004}, {0x5C, 0x0750}, {0x7F, 0xFF00},
};

// Colour-channel gains and the global gain start at 14.
constexpr UCHAR kInitialGainRegisters[] = {kRegGreen1Gain, kRegBlueGain, kRegRedGain, kRegGreen2Gain,
                                           kRegGlobalGain};

// Output size of each subsampling mode; mode 0 is the window itself.
struct SubsampledSize {
  LONG width;
  LONG height;
};
constexpr SubsampledSize kSubsampledSizes[] = {{0, 0}, {1280, 960}, {640, 480}, {320, 240}};
// Skip register bits 0..2 of each mode: skip factors 1, 2, 4, 8.
constexpr ULONG kSkipBits[] = {0x0, 0x1, 0x3, 0x7};

ULONG ReadOrZero(DeviceContext* ctx, UCHAR reg) {
  ULONG value = 0;
  return ReadSensorRegister(ctx, reg, &value) ? value : 0;
}

bool HasShortVariantBits(ULONG variant) { return (variant & 0x7E0) == 0xE0; }

// Sets or clears bits of a register with a read-modify-write. The stored
// setting follows only when the sensor took the new value.
bool UpdateRegisterBits(DeviceContext* ctx, UCHAR reg, ULONG bits, bool on) {
  ULONG value = 0;
  if (!ReadSensorRegister(ctx, reg, &value)) return false;
  value = on ? (value | bits) : (value & ~bits);
  return WriteSensorRegister(ctx, reg, value & 0xFFFF);
}

void PublishBayerPhase(DeviceContext* ctx) {
  LONG phase = ComputeBayerPhase(ctx);
  if (ctx->pipeline != nullptr) SetBayerPhase(ctx->pipeline, phase);
}

bool SendFrameSetup(DeviceContext* ctx) {
  UCHAR packet[kPacketBytes];
  PreparePacket(packet, kCommandFrameSetup);
  return SendCommand(ctx, packet);
}

bool SendFrameSize(DeviceContext* ctx, ULONG frameBytes) {
  UCHAR packet[kPacketBytes];
  PreparePacket(packet, kCommandFrameSize);
  for (int i = 0; i < 4; ++i) packet[1 + i] = UCHAR(frameBytes >> (8 * i));
  return SendCommand(ctx, packet);
}

// An exchange that timed out: the camera stopped answering.
bool TimedOut(NTSTATUS status) { return status == STATUS_IO_TIMEOUT; }

// The start-up programming. Refused writes and failed reads are passed over
// (a failed read counts as 0), but once an exchange times out the camera has
// stopped answering and every remaining register would wait out the same
// bound, so the programming ends there. Call with the exchange mutex held.
NTSTATUS ProgramStartUpRegisters(DeviceContext* ctx) {
  if (TimedOut(ExchangeRegisterWrite(ctx, kRegOutputControl, 0))) return STATUS_IO_TIMEOUT;
  ULONG chip = 0;
  ULONG variant = 0;
  if (TimedOut(ExchangeRegisterRead(ctx, kRegChipId, &chip)) ||
      TimedOut(ExchangeRegisterRead(ctx, kRegChipVariant, &variant)))
    return STATUS_IO_TIMEOUT;
  if (chip == 0x1801 && HasShortVariantBits(variant))
    for (const RegisterValue& setting : kRevisionSetup)
      if (TimedOut(ExchangeRegisterWrite(ctx, setting.reg, setting.value))) return STATUS_IO_TIMEOUT;
  for (UCHAR reg : kInitialGainRegisters)
    if (TimedOut(ExchangeRegisterWrite(ctx, reg, 14))) return STATUS_IO_TIMEOUT;
  // Bit 15 is the vertical mirror; it is rewritten from flipV when settings apply.
  if (TimedOut(ExchangeRegisterWrite(ctx, kRegMirror, 0x8040))) return STATUS_IO_TIMEOUT;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS InitSensor(DeviceContext* ctx) {
  AcquireExchangeMutex(ctx);
  NTSTATUS status = ProgramStartUpRegisters(ctx);
  ReleaseExchangeMutex(ctx);
  return status;
}

void SetGeometry(DeviceContext* ctx, LONG x, LONG y, LONG width, LONG height, LONG mode) {
  if (InterlockedCompareExchange(&ctx->pinOpen, 0, 0) != 0) return;  // frozen while a pin exists
  if (mode < 0 || mode > 3) mode = 0;
  if (mode == 0) {
    if (x >= kSensorWidth - kSmallestWindow) x = 0;
    if (y >= kSensorHeight - kSmallestWindow) y = 0;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    if (width < kSmallestWindow) width = kSmallestWindow;
    if (height < kSmallestWindow) height = kSmallestWindow;
    if (x + width > kSensorWidth) width = kSensorWidth - x;
    if (y + height > kSensorHeight) height = kSensorHeight - y;
    ctx->outputWidth = width;
    ctx->outputHeight = height;
  } else {
    x = 0;
    y = 0;
    width = kSensorWidth;
    height = kSensorHeight;
    ctx->outputWidth = kSubsampledSizes[mode].width;
    ctx->outputHeight = kSubsampledSizes[mode].height;
  }
  ctx->subSample = mode;
  ctx->roiX = x;
  ctx->roiY = y;
  ctx->roiWidth = width;
  ctx->roiHeight = height;
  ctx->imageHeight = ctx->outputHeight;
  ctx->imageWidth = ctx->outputWidth - ctx->outputWidth % 8;
  UpdateVideoDataRange(ULONG(ctx->imageWidth), ULONG(ctx->imageHeight));
}

LONG ComputeBayerPhase(DeviceContext* ctx) {
  LONG phase = 0;
  if (ctx->roiY & 1) phase ^= 1;
  if (ctx->flipV && !(ctx->roiHeight & 1)) phase ^= 1;
  if (ctx->flipH && !(ctx->roiWidth & 1)) phase ^= 2;
  ctx->bayerPhase = phase;
  return phase;
}

bool SetExposure(DeviceContext* ctx, ULONG value) {
  if (value > kMaxExposure) value = kMaxExposure;
  if (value == 0) value = 1;
  AcquireExchangeMutex(ctx);
  WriteSensorRegister(ctx, kRegExposureLow, value & 0xFFFF);
  bool written = WriteSensorRegister(ctx, kRegExposureHigh, (value >> 16) & 0xF);
  if (written) ctx->exposure = value;
  ReleaseExchangeMutex(ctx);
  return written;
}

bool SetGlobalGain(DeviceContext* ctx, ULONG value) {
  if (value > kMaxGlobalGain) value = kMaxGlobalGain;
  AcquireExchangeMutex(ctx);
  bool written = WriteSensorRegister(ctx, kRegGlobalGain, value);
  if (written) ctx->globalGain = value;
  ReleaseExchangeMutex(ctx);
  return written;
}

bool SetFlipH(DeviceContext* ctx, LONG on) {
  AcquireExchangeMutex(ctx);
  bool written = UpdateRegisterBits(ctx, kRegMirror, kMirrorHorizontal, on != 0);
  if (written) {
    ctx->flipH = on != 0 ? 1 : 0;
    PublishBayerPhase(ctx);
  }
  ReleaseExchangeMutex(ctx);
  return written;
}

bool SetFlipV(DeviceContext* ctx, LONG on) {
  AcquireExchangeMutex(ctx);
  bool written = UpdateRegisterBits(ctx, kRegMirror, kMirrorVertical, on != 0);
  if (written) {
    ctx->flipV = on != 0 ? 1 : 0;
    PublishBayerPhase(ctx);
  }
  ReleaseExchangeMutex(ctx);
  return written;
}

bool SetExTrigger(DeviceContext* ctx, bool on) {
  AcquireExchangeMutex(ctx);
  ULONG value = 0;
  bool written = false;
  if (ReadSensorRegister(ctx, kRegTrigger, &value)) {
    value = on ? (value | kTriggerBits) : (value & ~kTriggerBits);
    written = WriteSensorRegister(ctx, kRegTrigger, value & 0xFFFF);
    ctx->exTrigger = on ? 1 : 0;  // the mode is remembered even when the sensor refused it
  }
  ReleaseExchangeMutex(ctx);
  return written;
}

bool SetHalfClock(DeviceContext* ctx, LONG value) {
  AcquireExchangeMutex(ctx);
  InterlockedExchange(&ctx->reconfigurePending, 1);
  PreparePacket(ctx->commandPacket, kCommandHalfClock);
  ctx->commandPacket[1] = value != 0 ? 1 : 0;
  bool sent = SendCommand(ctx, ctx->commandPacket);
  if (sent) {
    // The clock change resets the sensor: initialise it and replay every setting.
    InitSensor(ctx);
    static_cast<CameraObject*>(ctx)->ApplySettings();
    ctx->halfClock = value;
  } else {
    // The clock did not change, so there is nothing to wait for: a capture
    // thread that took the mark must not wait until the stream is stopped.
    InterlockedExchange(&ctx->reconfigurePending, 0);
  }
  KeSetEvent(&ctx->reconfigureDone, IO_NO_INCREMENT, FALSE);
  ReleaseExchangeMutex(ctx);
  return sent;
}

void SetWhiteBalance(DeviceContext* ctx, LONG on) {
  ctx->whiteBalance = on;
  ImagePipeline* pipeline = ctx->pipeline;
  if (pipeline == nullptr) return;
  SetAutoWhiteBalance(pipeline, on);
  if (on == 0) {
    // The gains automatic white balance found become the manual gains.
    ctx->redGain = ULONG(InterlockedCompareExchange(&pipeline->redGain, 0, 0));
    ctx->greenGain = ULONG(InterlockedCompareExchange(&pipeline->greenGain, 0, 0));
    ctx->blueGain = ULONG(InterlockedCompareExchange(&pipeline->blueGain, 0, 0));
  }
}

void SetPinOpen(DeviceContext* ctx, LONG value) { InterlockedExchange(&ctx->pinOpen, value); }

LONG DeviceContext::ApplySettings() {
  AcquireExchangeMutex(this);
  ULONG chip = ReadOrZero(this, kRegChipId);
  ULONG variant = ReadOrZero(this, kRegChipVariant);
  lineOffset = (chip == 0x1800 || HasShortVariantBits(variant)) ? kShortLineOffset : kLongLineOffset;

  ULONG rowSkip = ReadOrZero(this, kRegRowSkip) & ~0x7u;
  ULONG columnSkip = ReadOrZero(this, kRegColumnSkip) & ~0x7u;
  LONG mode = (subSample >= 0 && subSample <= 3) ? subSample : 0;
  rowSkip |= kSkipBits[mode];
  columnSkip |= kSkipBits[mode];

  rowPitch = lineOffset + ULONG(outputWidth) + kRowTail + (mode == 3 ? kFactor8RowExtra : 0);
  frameBytes = rowPitch * ULONG(outputHeight) + lineOffset;
  if (frameBytes % 1024 != 0) frameBytes += 1024 - frameBytes % 1024;

  WriteSensorRegister(this, kRegRowStart, ULONG(roiY + kRowStartOffset));
  WriteSensorRegister(this, kRegColumnStart, ULONG(roiX + kColumnStartOffset));
  WriteSensorRegister(this, kRegWindowHeight, ULONG(roiHeight - 1));
  WriteSensorRegister(this, kRegWindowWidth, ULONG(roiWidth - 1));
  WriteSensorRegister(this, kRegRowSkip, rowSkip & 0xFFFF);
  WriteSensorRegister(this, kRegColumnSkip, columnSkip & 0xFFFF);

  SendFrameSetup(this);
  SendFrameSize(this, frameBytes);

  SetFlipV(this, flipV);
  SetFlipH(this, flipH);
  SetExposure(this, exposure);
  SetGlobalGain(this, globalGain);
  SetExTrigger(this, exTrigger != 0);
  LONG phase = ComputeBayerPhase(this);
  ReleaseExchangeMutex(this);
  return phase;
}
