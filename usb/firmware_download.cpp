// Bridge firmware download with the memory-load vendor requests.
#include "usb/firmware_download.h"

#include "usb/usb_requests.h"

namespace {

constexpr ULONG kVendorUrbBytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

// The reset register's values; constant data so that the bus reads them from
// memory that outlives the request.
const UCHAR kCpuRun = 0;
const UCHAR kCpuHold = 1;

// One host-to-device vendor request to the device, in a freshly cleared URB.
NTSTATUS SendLoad(UsbDevice* usb, PURB urb, UCHAR request, USHORT address, const UCHAR* data, ULONG length) {
  RtlZeroMemory(urb, kVendorUrbBytes);
  auto& vendor = urb->UrbControlVendorClassRequest;
  vendor.Hdr.Length = USHORT(kVendorUrbBytes);
  vendor.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  vendor.TransferFlags = 0;  // host to device
  vendor.TransferBuffer = const_cast<UCHAR*>(data);  // only read on the way out
  vendor.TransferBufferLength = length;
  vendor.Request = request;
  vendor.Value = address;
  return SubmitUrbSync(usb, urb);
}

// The older address first; only the newer one's result counts.
NTSTATUS WriteCpuReset(UsbDevice* usb, PURB urb, BOOLEAN hold) {
  const UCHAR* value = hold ? &kCpuHold : &kCpuRun;
  SendLoad(usb, urb, kRequestLoadInternal, kCpuResetAddressOld, value, 1);
  return SendLoad(usb, urb, kRequestLoadInternal, kCpuResetAddress, value, 1);
}

bool IsDataRecord(const FirmwareRecord* record) {
  return record->type == kFirmwareDataRecord && record->length <= kFirmwareRecordDataBytes;
}

// Sends, in table order, the records that belong to one memory, each with
// that memory's request; the first failure ends the pass. *last becomes the
// status of the last request sent.
void LoadPass(UsbDevice* usb, PURB urb, const FirmwareRecord* image, bool internal, NTSTATUS* last) {
  for (const FirmwareRecord* record = image; IsDataRecord(record); ++record) {
    if ((record->address <= kLastInternalAddress) != internal) continue;
    UCHAR request = internal ? kRequestLoadInternal : kRequestLoadExternal;
    *last = SendLoad(usb, urb, request, record->address, record->data, record->length);
    if (!NT_SUCCESS(*last)) return;
  }
}

}  // namespace

// One URB serves every request of the download, the reset writes included,
// so that no allocation can fail between holding the processor and loading.
NTSTATUS DownloadFirmware(UsbDevice* usb, const FirmwareRecord* image) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kVendorUrbBytes, kTagUsb));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS last = STATUS_SUCCESS;
  LoadPass(usb, urb, image, false, &last);
  WriteCpuReset(usb, urb, TRUE);
  LoadPass(usb, urb, image, true, &last);
  WriteCpuReset(usb, urb, FALSE);
  ExFreePoolWithTag(urb, kTagUsb);
  return last;
}

NTSTATUS SetCpuReset(UsbDevice* usb, BOOLEAN hold) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kVendorUrbBytes, kTagUsb));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = WriteCpuReset(usb, urb, hold);
  ExFreePoolWithTag(urb, kTagUsb);
  return status;
}
