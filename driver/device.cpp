// Device add, start and stop, and filter create and close.
#include <new>

#include "camera/sensor.h"
#include "driver/device_context.h"
#include "driver/device_dispatch.h"
#include "stream/capture_context.h"
#include "stream/descriptors.h"
#include "stream/video_range.h"
#include "usb/command_packets.h"
#include "usb/firmware_download.h"
#include "usb/frame_transfer.h"
#include "usb/usb_requests.h"

// The filter factory's reference string, spelled as 16-bit characters so
// that it has the same bytes in both builds.
const WCHAR kFilterReference[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};

namespace {

constexpr ULONG kDeviceDescriptorBytes = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr ULONG kDescriptorUrbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

// The capture and filter records own nothing that must be released with
// them: freeing is a plain release of the memory.
void NTAPI FreeRecord(PVOID record) { ExFreePoolWithTag(record, kTagRecords); }

// A device whose start failed is removed without a stop, so the device record
// releases whatever configuration it still holds when it goes.
void NTAPI FreeDeviceContext(PVOID record) {
  ReleaseConfiguration(&static_cast<DeviceContext*>(record)->usb);
  FreeRecord(record);
}

PVOID AllocateRecord(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagRecords); }

void InitializeDeviceContext(DeviceContext* ctx, PKSDEVICE device) {
  auto* first = reinterpret_cast<PUCHAR>(&ctx->usb);
  auto* last = reinterpret_cast<PUCHAR>(&ctx->aec + 1);
  RtlZeroMemory(first, SIZE_T(last - first));
  ctx->usb.physicalDeviceObject = device->PhysicalDeviceObject;
  ctx->usb.lowerDeviceObject = device->NextDeviceObject;
  ctx->usb.functionalDeviceObject = device->FunctionalDeviceObject;
  KeInitializeSpinLock(&ctx->usb.chunkLock);

  ctx->bayerPhase = 0;
  ctx->frameTimeoutMs = 3000;
  ctx->redGain = ctx->greenGain = ctx->blueGain = 128;
  ctx->colourEnable = 1;
  ctx->colourCorrection = 1;
  ctx->contrast = 10;
  ctx->saturation = 10;
  ctx->brightness = 255;
  ctx->hue = 0;
  ctx->whiteBalance = 0;
  ctx->videoRange = kVideoDataRangeTemplate;
  SetGeometry(ctx, 0, 0, kSensorWidth, kSensorHeight, 0);
  KeInitializeEvent(&ctx->usb.frameDoneEvent, NotificationEvent, FALSE);
  RtlZeroMemory(ctx->transferControlPacket, kPacketBytes);
  RtlZeroMemory(ctx->commandPacket, kPacketBytes);
  RtlZeroMemory(ctx->frameRequestPacket, kPacketBytes);
  KeInitializeMutex(&ctx->exchangeMutex, 0);
  KeInitializeSpinLock(&ctx->layoutLock);
  InitializeRundown(&ctx->configRundown);
  InitializeRundown(&ctx->pipelineRundown);
}

void CreateCaptureContext(DeviceContext* ctx, PKSDEVICE device) {
  auto* capture = static_cast<CaptureContext*>(AllocateRecord(sizeof(CaptureContext)));
  ctx->capture = capture;
  if (capture == nullptr) return;
  RtlZeroMemory(capture, sizeof(CaptureContext));
  capture->camera = ctx;
  KeInitializeEvent(&capture->conversionDone, NotificationEvent, FALSE);
  KeInitializeEvent(&capture->stopRequested, NotificationEvent, FALSE);
  KeInitializeSpinLock(&capture->bufferLock);
  if (!NT_SUCCESS(KsAddItemToObjectBag(device->Bag, capture, FreeRecord))) {
    FreeRecord(capture);
    ctx->capture = nullptr;
  }
}

bool ReportsCameraFirmware(const UCHAR* descriptor) {
  USHORT vendor = USHORT(descriptor[8] | descriptor[9] << 8);
  USHORT product = USHORT(descriptor[10] | descriptor[11] << 8);
  return vendor == kCameraFirmwareVendorId && product == kCameraFirmwareProductId;
}

// Reads the device descriptor, selects the configuration when that worked,
// and notes whether the camera firmware already runs on the bridge.
NTSTATUS IdentifyAndConfigure(DeviceContext* ctx) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kDescriptorUrbBytes, kTagUsb));
  auto* descriptor = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kDeviceDescriptorBytes, kTagUsb));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb != nullptr && descriptor != nullptr) {
    RtlZeroMemory(descriptor, kDeviceDescriptorBytes);
    NTSTATUS described =
        GetDescriptor(&ctx->usb, urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, kDeviceDescriptorBytes);
    bool complete = urb->UrbControlDescriptorRequest.TransferBufferLength >= kDeviceDescriptorBytes;
    status = NT_SUCCESS(described) ? ConfigureDevice(&ctx->usb) : described;
    if (NT_SUCCESS(described) && complete && ReportsCameraFirmware(descriptor)) ctx->usb.firmwareRunning = TRUE;
  }
  if (urb != nullptr) ExFreePoolWithTag(urb, kTagUsb);
  if (descriptor != nullptr) ExFreePoolWithTag(descriptor, kTagUsb);
  return status;
}

// Takes the configuration away from every user, then releases it. Call with
// the exchange mutex held, which keeps register and command exchanges out;
// frame reads and pipe aborts are kept out by the rundown, which stays closed
// until a start opens it on a new configuration. The frame read in flight is
// cancelled so that the wait is short.
void WithdrawConfiguration(DeviceContext* ctx) {
  CloseRundown(&ctx->configRundown);
  CancelChunkRequests(&ctx->usb);
  WaitForRundown(&ctx->configRundown);
  ReleaseConfiguration(&ctx->usb);
}

void SendStartUpCommand(DeviceContext* ctx) {
  AcquireExchangeMutex(ctx);
  PreparePacket(ctx->commandPacket, kCommandStartUp);
  SendCommand(ctx, ctx->commandPacket);
  ReleaseExchangeMutex(ctx);
}

}  // namespace

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
  PVOID memory = AllocateRecord(sizeof(DeviceContext));
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // Value-initialisation zeroes every field and installs the operation table.
  auto* ctx = new (memory) DeviceContext();
  ctx->ksDevice = device;
  KeInitializeEvent(&ctx->reconfigureDone, NotificationEvent, FALSE);

  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, ctx, FreeDeviceContext);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    FreeRecord(ctx);
    return status;
  }
  device->Context = ctx;
  InitializeDeviceContext(ctx, device);
  return STATUS_SUCCESS;
}

// No step of the start-up stops the sequence: the camera is brought as far up
// as it will come, and only the configuration result is reported.
NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources) {
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(translatedResources);
  UNREFERENCED_PARAMETER(untranslatedResources);
  DeviceContext* ctx = DeviceContextOf(device);
  if (ctx == nullptr) return STATUS_INVALID_DEVICE_STATE;

  NTSTATUS factoryStatus = STATUS_UNSUCCESSFUL;
  if (!device->Started) {
    KsAcquireDevice(device);
    factoryStatus = KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor,
                                          const_cast<PWSTR>(kFilterReference), nullptr, KSCREATE_ITEM_FREEONSTOP,
                                          nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
  }
  if (NT_SUCCESS(factoryStatus) && !device->Started) CreateCaptureContext(ctx, device);

  AcquireExchangeMutex(ctx);
  WithdrawConfiguration(ctx);
  NTSTATUS status = IdentifyAndConfigure(ctx);
  OpenRundown(&ctx->configRundown);
  ReleaseExchangeMutex(ctx);
  // A bridge without the camera firmware gets the loader, then the camera
  // firmware; the camera re-enumerates by itself and a later start of the
  // new device finds it running, so nothing here waits for it.
  if (!ctx->usb.firmwareRunning) {
    DownloadFirmware(&ctx->usb, kLoaderImage);
    DownloadFirmware(&ctx->usb, kCameraFirmwareImage);
  }
  SendStartUpCommand(ctx);
  InitSensor(ctx);
  return status;
}

void NTAPI DeviceStop(PKSDEVICE device, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  DeviceContext* ctx = DeviceContextOf(device);
  if (ctx == nullptr) return;
  AcquireExchangeMutex(ctx);
  WithdrawConfiguration(ctx);
  ReleaseExchangeMutex(ctx);
  DeconfigureDevice(&ctx->usb);
}

struct FilterContext {
  PKSFILTER filter;
};

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  DeviceContext* ctx = DeviceContextOf(KsFilterGetDevice(filter));
  if (ctx == nullptr) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS offered = OfferDeviceRange(filter, &ctx->videoRange);
  if (!NT_SUCCESS(offered)) return offered;
  auto* context = static_cast<FilterContext*>(AllocateRecord(sizeof(FilterContext)));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  context->filter = filter;
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeRecord);
  if (!NT_SUCCESS(status)) {
    FreeRecord(context);
    return status;
  }
  filter->Context = context;
  return status;
}

NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp) {
  UNREFERENCED_PARAMETER(filter);
  UNREFERENCED_PARAMETER(irp);
  return STATUS_SUCCESS;
}
