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

// Reads the chip identification and the variant register. Only a complete
// answer replaces the stored identity: after a clock change the sensor may
// not answer at all, and a failed read taken as 0 would pass for the other
// revision with its longer frame. Before the first complete answer both
// count as 0. Call with the exchange mutex held.
NTSTATUS IdentifySensor(DeviceContext* ctx, ULONG* chip, ULONG* variant) {
  ULONG readChip = 0;
  ULONG readVariant = 0;
  NTSTATUS status = ExchangeRegisterRead(ctx, kRegChipId, &readChip);
  if (NT_SUCCESS(status)) status = ExchangeRegisterRead(ctx, kRegChipVariant, &readVariant);
  if (NT_SUCCESS(status)) {
    ctx->sensorChipId = readChip;
    ctx->sensorVariant = readVariant;
  }
  *chip = ctx->sensorChipId;
  *variant = ctx->sensorVariant;
  return status;
}

// The raw frame of the current output size on this sensor revision: each
// row carries the revision's lead-in and a tail, skipping by 8 adds more, and
// the bridge moves whole kilobytes.
FrameLayout LayoutFor(ULONG chip, ULONG variant, LONG mode, LONG width, LONG height) {
  FrameLayout layout;
  layout.lineOffset = (chip == 0x1800 || HasShortVariantBits(variant)) ? kShortLineOffset : kLongLineOffset;
  layout.rowPitch = layout.lineOffset + ULONG(width) + kRowTail + (mode == 3 ? kFactor8RowExtra : 0);
  layout.frameBytes = layout.rowPitch * ULONG(height) + layout.lineOffset;
  if (layout.frameBytes % 1024 != 0) layout.frameBytes += 1024 - layout.frameBytes % 1024;
  return layout;
}

// Stores a newly computed layout unless the open pin already has one, and
// returns the layout in force. The first layout stored while a pin exists is
// the one its raw buffers are made for, so it stays until the pin goes.
FrameLayout SettleFrameLayout(DeviceContext* ctx, const FrameLayout& computed) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&ctx->layoutLock, &oldIrql);
  if (!ctx->layoutFixed) {
    ctx->lineOffset = computed.lineOffset;
    ctx->rowPitch = computed.rowPitch;
    ctx->frameBytes = computed.frameBytes;
    ctx->layoutFixed = InterlockedCompareExchange(&ctx->pinOpen, 0, 0) != 0;
  }
  FrameLayout inForce = {ctx->lineOffset, ctx->rowPitch, ctx->frameBytes};
  KeReleaseSpinLock(&ctx->layoutLock, oldIrql);
  return inForce;
}

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
  ImagePipeline* pipeline = ReferencePipeline(ctx);
  if (pipeline == nullptr) return;
  SetBayerPhase(pipeline, phase);
  ReleasePipeline(ctx);
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
// (a failed identification keeps the last identity), but once an exchange times out the camera has
// stopped answering and every remaining register would wait out the same
// bound, so the programming ends there. Call with the exchange mutex held.
NTSTATUS ProgramStartUpRegisters(DeviceContext* ctx) {
  if (TimedOut(ExchangeRegisterWrite(ctx, kRegOutputControl, 0))) return STATUS_IO_TIMEOUT;
  ULONG chip = 0;
  ULONG variant = 0;
  if (TimedOut(IdentifySensor(ctx, &chip, &variant))) return STATUS_IO_TIMEOUT;
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
    // x and y are now inside the sensor, so the differences cannot overflow
    // the way x + width can for a width near the largest value.
    if (width > kSensorWidth - x) width = kSensorWidth - x;
    if (height > kSensorHeight - y) height = kSensorHeight - y;
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
  UpdateVideoDataRange(&ctx->videoRange, ULONG(ctx->imageWidth), ULONG(ctx->imageHeight));
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

// The handshake with ReadFrame: reconfigureDone is reset only here, before
// the mark is raised, and set when the change is over (or did not happen).
// A stream stop or an earlier failed change leaves it set with no reader to
// consume it; resetting it first means a read that takes this change's mark
// always waits for this change. Clock changes are serialised by the exchange
// mutex, so no other change can reset the event between our reset and set.
bool SetHalfClock(DeviceContext* ctx, LONG value) {
  AcquireExchangeMutex(ctx);
  KeResetEvent(&ctx->reconfigureDone);
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
  ImagePipeline* pipeline = ReferencePipeline(ctx);
  if (pipeline == nullptr) return;
  SetAutoWhiteBalance(pipeline, on);
  if (on == 0) {
    // The gains automatic white balance found become the manual gains.
    ctx->redGain = ULONG(ReadParameter(&pipeline->redGain));
    ctx->greenGain = ULONG(ReadParameter(&pipeline->greenGain));
    ctx->blueGain = ULONG(ReadParameter(&pipeline->blueGain));
  }
  ReleasePipeline(ctx);
}

// Each filter instance can have its capture pin, so pins are counted: the
// geometry stays frozen until the last one goes. The first pin, or the
// device without pins, gets the layout of the next ApplySettings; a second
// pin leaves the first one's fixed layout alone, since that pin's raw
// buffers were sized from it.
void SetPinOpen(DeviceContext* ctx, LONG value) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&ctx->layoutLock, &oldIrql);
  LONG pins = InterlockedCompareExchange(&ctx->pinOpen, 0, 0);
  LONG next = value != 0 ? pins + 1 : (pins > 0 ? pins - 1 : 0);
  InterlockedExchange(&ctx->pinOpen, next);
  if (next == 0 || pins == 0) ctx->layoutFixed = FALSE;
  KeReleaseSpinLock(&ctx->layoutLock, oldIrql);
}

LONG DeviceContext::ApplySettings() {
  AcquireExchangeMutex(this);
  ULONG chip = 0;
  ULONG variant = 0;
  IdentifySensor(this, &chip, &variant);

  ULONG rowSkip = ReadOrZero(this, kRegRowSkip) & ~0x7u;
  ULONG columnSkip = ReadOrZero(this, kRegColumnSkip) & ~0x7u;
  LONG mode = (subSample >= 0 && subSample <= 3) ? subSample : 0;
  rowSkip |= kSkipBits[mode];
  columnSkip |= kSkipBits[mode];
  FrameLayout layout = SettleFrameLayout(this, LayoutFor(chip, variant, mode, outputWidth, outputHeight));

  WriteSensorRegister(this, kRegRowStart, ULONG(roiY + kRowStartOffset));
  WriteSensorRegister(this, kRegColumnStart, ULONG(roiX + kColumnStartOffset));
  WriteSensorRegister(this, kRegWindowHeight, ULONG(roiHeight - 1));
  WriteSensorRegister(this, kRegWindowWidth, ULONG(roiWidth - 1));
  WriteSensorRegister(this, kRegRowSkip, rowSkip & 0xFFFF);
  WriteSensorRegister(this, kRegColumnSkip, columnSkip & 0xFFFF);

  SendFrameSetup(this);
  SendFrameSize(this, layout.frameBytes);

  SetFlipV(this, flipV);
  SetFlipH(this, flipH);
  SetExposure(this, exposure);
  SetGlobalGain(this, globalGain);
  SetExTrigger(this, exTrigger != 0);
  LONG phase = ComputeBayerPhase(this);
  ReleaseExchangeMutex(this);
  return phase;
}
