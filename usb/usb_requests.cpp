// Synchronous requests to the USB bus driver and the selection of the
// camera's one configuration.
#include "usb/usb_requests.h"

#include "driver/platform_layout.h"
#include "usb/frame_transfer.h"

namespace {

constexpr ULONG kDescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr ULONG kPipeUrbSize = sizeof(struct _URB_PIPE_REQUEST);
constexpr ULONG kSelectUrbSize = sizeof(struct _URB_SELECT_CONFIGURATION);
constexpr ULONG kConfigHeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);

// Interface numbers are 8 bits: a configuration that announces more
// interfaces than it holds cannot have one beyond 255.
constexpr LONG kLastInterfaceNumber = 255;

PVOID AllocateZeroed(SIZE_T bytes) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagUsb);
  if (p != nullptr) RtlZeroMemory(p, bytes);
  return p;
}

void FreeUsb(PVOID p) { ExFreePoolWithTag(p, kTagUsb); }

// Sends one internal device-control request to the bus driver and waits for
// it without a time limit.
NTSTATUS SendInternalIoctl(UsbDevice* usb, ULONG code, PVOID argument1) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, usb->lowerDeviceObject, nullptr, 0, nullptr, 0,
                                           TRUE, &event, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
  NTSTATUS status = IoCallDriver(usb->lowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  NoteRequestOutcome(usb, status, code == IOCTL_INTERNAL_USB_SUBMIT_URB && argument1 != nullptr
                                      ? static_cast<PURB>(argument1)->UrbHeader.Status
                                      : USBD_STATUS_SUCCESS);
  return status;
}

NTSTATUS SendPipeRequest(UsbDevice* usb, ULONG pipeIndex, USHORT function) {
  const USBD_PIPE_INFORMATION* pipe = PipeAt(usb, pipeIndex);
  if (pipe == nullptr) return STATUS_INVALID_PARAMETER;
  auto* urb = static_cast<PURB>(AllocateZeroed(kPipeUrbSize));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = USHORT(kPipeUrbSize);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
  NTSTATUS status = SubmitUrbSync(usb, urb);
  FreeUsb(urb);
  return status;
}

// One bit per endpoint address: 16 numbers in each direction.
ULONG EndpointBit(UCHAR address) {
  ULONG direction = (address & USB_ENDPOINT_DIRECTION_MASK) != 0 ? 16 : 0;
  return 1u << (direction + (address & 0x0F));
}

// The platform's parser and request builder walk the descriptors by their own
// lengths and check nothing, so everything they will read is checked here:
// the configuration header, every descriptor at least 2 bytes long and inside
// the total length, interface and endpoint descriptors at least their size.
// Two endpoints of one interface setting with the same address would be one
// endpoint on the wire: replies and frames would arrive on the same pipe and
// every exchange wait out its time limit, so such a set is refused too.
bool ConfigurationIsWellFormed(const UCHAR* descriptor, ULONG totalLength) {
  if (descriptor[0] < kConfigHeaderSize || descriptor[0] > totalLength ||
      descriptor[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return false;
  ULONG endpointsSeen = 0;  // in the interface setting being walked
  for (ULONG at = descriptor[0]; at < totalLength; at += descriptor[at]) {
    if (totalLength - at < 2) return false;
    UCHAR length = descriptor[at];
    UCHAR type = descriptor[at + 1];
    if (length < 2 || length > totalLength - at) return false;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) return false;
      endpointsSeen = 0;
    }
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
      ULONG bit = EndpointBit(descriptor[at + 2]);
      if ((endpointsSeen & bit) != 0) return false;
      endpointsSeen |= bit;
    }
  }
  return true;
}

// Reads the whole configuration descriptor into a buffer of its own total
// length. The length comes from the device, so it is checked against what
// the device actually returns before anything trusts it.
NTSTATUS ReadConfigurationDescriptor(UsbDevice* usb, PURB urb, PUCHAR* result) {
  auto* header = static_cast<PUCHAR>(AllocateZeroed(kConfigHeaderSize));
  if (header == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = GetDescriptor(usb, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, kConfigHeaderSize);
  ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
  USHORT totalLength = USHORT(header[2] | header[3] << 8);
  FreeUsb(header);
  if (!NT_SUCCESS(status)) return status;
  if (received < kConfigHeaderSize || totalLength < kConfigHeaderSize) return STATUS_DEVICE_DATA_ERROR;

  auto* whole = static_cast<PUCHAR>(AllocateZeroed(totalLength));
  if (whole == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = GetDescriptor(usb, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, whole, totalLength);
  received = urb->UrbControlDescriptorRequest.TransferBufferLength;
  if (NT_SUCCESS(status) && (received < totalLength || USHORT(whole[2] | whole[3] << 8) != totalLength))
    status = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(status)) {
    FreeUsb(whole);
    return status;
  }
  if (!ConfigurationIsWellFormed(whole, totalLength)) {
    FreeUsb(whole);
    return STATUS_DEVICE_DATA_ERROR;
  }
  *result = whole;
  return STATUS_SUCCESS;
}

// Finds the configuration's interfaces (alternate setting 0) in ascending
// interface number, skipping numbers that are not there.
NTSTATUS ListInterfaces(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSBD_INTERFACE_LIST_ENTRY list,
                        ULONG wanted) {
  ULONG found = 0;
  for (LONG number = 0; found < wanted; ++number) {
    if (number > kLastInterfaceNumber) return STATUS_INVALID_PARAMETER;
    PUSB_INTERFACE_DESCRIPTOR descriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 0, -1, -1, -1);
    if (descriptor != nullptr) list[found++].InterfaceDescriptor = descriptor;
  }
  return STATUS_SUCCESS;
}

// Keeps a copy of the first configured interface and a reset mark per pipe.
NTSTATUS RecordInterface(UsbDevice* usb, const USBD_INTERFACE_INFORMATION* configured) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG pipes = configured->NumberOfPipes;
  SIZE_T needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + SIZE_T(pipes) * sizeof(USBD_PIPE_INFORMATION);
  if (configured->Length < sizeof(USBD_INTERFACE_INFORMATION) || configured->Length < needed)
    return STATUS_DEVICE_DATA_ERROR;
  usb->interfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(configured->Length));
  if (usb->interfaceInfo != nullptr) {
    RtlCopyMemory(usb->interfaceInfo, configured, configured->Length);
  } else {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (pipes > 0) {
    usb->pipeResetMarks = static_cast<PUCHAR>(AllocateZeroed(pipes));
    if (usb->pipeResetMarks == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  return status;
}

NTSTATUS SelectConfiguration(UsbDevice* usb) {
  auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(usb->configDescriptor);
  ULONG interfaces = configuration->bNumInterfaces;
  if (interfaces == 0) return STATUS_DEVICE_DATA_ERROR;
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      AllocateZeroed((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ListInterfaces(configuration, list, interfaces);
  PURB select = nullptr;
  if (NT_SUCCESS(status)) {
    select = USBD_CreateConfigurationRequestEx(configuration, list);
    if (select == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (select != nullptr) {
    PUSBD_INTERFACE_INFORMATION first = &select->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i) first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    status = SubmitUrbSync(usb, select);
    if (NT_SUCCESS(status)) {
      NTSTATUS recorded = RecordInterface(usb, first);
      if (!NT_SUCCESS(recorded)) status = recorded;
    }
    ExFreePool(select);
  }
  FreeUsb(list);
  return status;
}

NTSTATUS NTAPI SignalExchangeDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The request is ours: it is freed by the waiting thread.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS SubmitUrbWithin(UsbDevice* usb, PURB urb, ULONG milliseconds) {
  PIRP irp = IoAllocateIrp(usb->lowerDeviceObject->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, SignalExchangeDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(usb->lowerDeviceObject, irp);

  LARGE_INTEGER limit;
  limit.QuadPart = -LONGLONG(milliseconds) * 10000;
  bool timedOut = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT;
  if (timedOut) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  NoteRequestOutcome(usb, status, urb->UrbHeader.Status);
  return timedOut ? STATUS_IO_TIMEOUT : status;
}

NTSTATUS SubmitUrbWithTimeLimit(UsbDevice* usb, PURB urb) {
  LONG milliseconds = InterlockedCompareExchange(&transferTimeoutMs, 0, 0);
  return SubmitUrbWithin(usb, urb, milliseconds > 0 ? ULONG(milliseconds) : 0);
}

const USBD_PIPE_INFORMATION* PipeAt(const UsbDevice* usb, ULONG pipeIndex) {
  const USBD_INTERFACE_INFORMATION* configured = usb->interfaceInfo;
  if (configured == nullptr || pipeIndex >= configured->NumberOfPipes) return nullptr;
  return &configured->Pipes[pipeIndex];
}

bool PipeIsIn(const USBD_PIPE_INFORMATION* pipe) {
  return (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

bool PipeIsBulkOrInterrupt(const USBD_PIPE_INFORMATION* pipe) {
  return pipe->PipeType == UsbdPipeTypeBulk || pipe->PipeType == UsbdPipeTypeInterrupt;
}

void BuildBulkTransfer(PURB urb, const USBD_PIPE_INFORMATION* pipe, PVOID buffer, PMDL mdl, ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = USHORT(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe->PipeHandle;
  transfer.TransferFlags = PipeIsIn(pipe) ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                                          : USBD_SHORT_TRANSFER_OK;
  transfer.TransferBuffer = buffer;
  transfer.TransferBufferMDL = mdl;
  transfer.TransferBufferLength = length;
}

NTSTATUS SubmitUrbSync(UsbDevice* usb, PURB urb) {
  return SendInternalIoctl(usb, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

NTSTATUS GetDescriptor(UsbDevice* usb, PURB urb, UCHAR type, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, kDescriptorUrbSize);
  auto& request = urb->UrbControlDescriptorRequest;
  request.Hdr.Length = USHORT(kDescriptorUrbSize);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBuffer = buffer;
  request.TransferBufferLength = length;
  request.DescriptorType = type;
  return SubmitUrbSync(usb, urb);
}

NTSTATUS ConfigureDevice(UsbDevice* usb) {
  auto* urb = static_cast<PURB>(AllocateZeroed(kDescriptorUrbSize));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PUCHAR descriptor = nullptr;
  NTSTATUS status = ReadConfigurationDescriptor(usb, urb, &descriptor);
  if (NT_SUCCESS(status)) {
    usb->configDescriptor = descriptor;  // from here on freed at stop
    status = SelectConfiguration(usb);
  }
  FreeUsb(urb);
  return status;
}

void DeconfigureDevice(UsbDevice* usb) {
  auto* urb = static_cast<PURB>(AllocateZeroed(kSelectUrbSize));
  if (urb == nullptr) return;
  urb->UrbHeader.Length = USHORT(kSelectUrbSize);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  SubmitUrbSync(usb, urb);
  FreeUsb(urb);
}

void ReleaseConfiguration(UsbDevice* usb) {
  if (usb->configDescriptor != nullptr) FreeUsb(usb->configDescriptor);
  if (usb->interfaceInfo != nullptr) FreeUsb(usb->interfaceInfo);
  if (usb->pipeResetMarks != nullptr) FreeUsb(usb->pipeResetMarks);
  usb->configDescriptor = nullptr;
  usb->interfaceInfo = nullptr;
  usb->pipeResetMarks = nullptr;
}

NTSTATUS ResetPipe(UsbDevice* usb, ULONG pipeIndex) {
  return SendPipeRequest(usb, pipeIndex, URB_FUNCTION_RESET_PIPE);
}

NTSTATUS AbortPipe(UsbDevice* usb, ULONG pipeIndex) {
  return SendPipeRequest(usb, pipeIndex, URB_FUNCTION_ABORT_PIPE);
}

void NoteRequestOutcome(UsbDevice* usb, NTSTATUS status, USBD_STATUS urbStatus) {
  if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE || urbStatus == USBD_STATUS_DEVICE_GONE)
    InterlockedExchange(&usb->gone, 1);
}

bool DeviceGone(UsbDevice* usb) { return InterlockedCompareExchange(&usb->gone, 0, 0) != 0; }

NTSTATUS ResetPortIfDisabled(UsbDevice* usb) {
  ULONG portStatus = 0;
  NTSTATUS status = SendInternalIoctl(usb, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
  if (!NT_SUCCESS(status)) return status;
  bool connectedButDisabled = (portStatus & USBD_PORT_CONNECTED) && !(portStatus & USBD_PORT_ENABLED);
  if (!connectedButDisabled) return status;
  return SendInternalIoctl(usb, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}
