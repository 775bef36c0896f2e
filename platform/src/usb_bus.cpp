// The host USB bus driver. Requests arrive through IofCallDriver on the
// driver's threads; the bus pends them and carries them out on its own thread,
// where completions run at dispatch level, as the platform's host controller
// completes them from its deferred procedure calls. IN transfers stay queued
// on their pipe, cancellable, until the device has filled them; a cancelled
// one completes later from the bus thread. A failed transfer halts its
// endpoint: the transfers queued behind it are no longer served, new ones
// fail, until the pipe is reset, and a reset is refused while transfers are
// still queued (they must be aborted and their completions awaited first).
#include "platform/usb_bus.h"

#include <stdio.h>
#include <chrono>

#include "host_internal.h"
#include "platform/registry_host.h"

namespace host {

struct UsbBus::Pipe {
  uint8_t endpointAddress = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint16_t maxPacketSize = 0;
  bool valid = true;
  bool halted = false;  // guarded by lock_
  uint64_t inTransfersStarted = 0;
  std::deque<PIRP> pending;  // IN transfers waiting for data; guarded by lock_
};

namespace {

// Per-request bookkeeping kept in the request while the bus owns it.
ULONG_PTR& BytesFilled(PIRP irp) { return reinterpret_cast<ULONG_PTR&>(irp->Tail.Overlay.DriverContext[0]); }
PVOID& FaultSlot(PIRP irp) { return irp->Tail.Overlay.DriverContext[1]; }

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

uint8_t* TransferAddress(PVOID buffer, PMDL mdl) {
  if (mdl != nullptr) return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  return static_cast<uint8_t*>(buffer);
}

class IrqlRaise {
 public:
  IrqlRaise() { KeRaiseIrql(DISPATCH_LEVEL, &old_); }
  ~IrqlRaise() { KeLowerIrql(old_); }

 private:
  KIRQL old_;
};

// Endpoint descriptors that follow an interface descriptor, up to the next
// interface or the end of the configuration.
std::vector<const USB_ENDPOINT_DESCRIPTOR*> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                        PUSB_INTERFACE_DESCRIPTOR interface) {
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  const UCHAR* end = reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
  const UCHAR* at = reinterpret_cast<const UCHAR*>(interface) + interface->bLength;
  while (at + 2 <= end && at[0] >= 2 && at + at[0] <= end) {
    if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR))
      endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(at));
    at += at[0];
  }
  return endpoints;
}

}  // namespace

UsbBus::UsbBus(unsigned port) : port_(port) {
  busDriver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &UsbBus::Dispatch;
  physicalDevice_.DriverObject = &busDriver_;
  physicalDevice_.DeviceExtension = this;
  physicalDevice_.StackSize = 1;
  thread_ = std::thread([this] { ThreadMain(); });
}

UsbBus::~UsbBus() {
  Unplug();
  ForgetDeviceInstance(&physicalDevice_);
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void UsbBus::Plug(UsbDeviceModel* device) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    device_ = device;
    portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  }
  DeviceCall([&] { device->Attach(this); });
  NoteDeviceInstance(device);
}

// The device instance the plug-and-play manager would make: a device without
// a serial number is known by its vendor and product on this port, so the
// same camera on the same port finds its registry keys again.
void UsbBus::NoteDeviceInstance(UsbDeviceModel* device) {
  uint8_t descriptor[18] = {};
  UsbTransferResult read = DeviceCall([&] { return device->GetDescriptor(1, 0, 0, descriptor, sizeof(descriptor)); });
  char instance[64];
  snprintf(instance, sizeof(instance), "USB\\VID_%04X&PID_%04X\\port%u", unsigned(descriptor[8] | descriptor[9] << 8),
           unsigned(descriptor[10] | descriptor[11] << 8), port_);
  if (read.status == USBD_STATUS_SUCCESS && read.bytes >= sizeof(descriptor)) SetDeviceInstance(&physicalDevice_, instance);
  else ForgetDeviceInstance(&physicalDevice_);
}

void UsbBus::Unplug() {
  UsbDeviceModel* device;
  std::vector<PIRP> orphans;
  {
    std::lock_guard<std::mutex> guard(lock_);
    device = device_;
    device_ = nullptr;
    portStatus_ = 0;
    for (auto& pipe : pipes_) AbortPipeLocked(pipe.get(), orphans);
  }
  for (PIRP irp : orphans) CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
  if (device != nullptr) DeviceCall([&] { device->Detach(); });
}

std::vector<UsbLogEntry> UsbBus::Log() {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

void UsbBus::ClearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  log_.clear();
}

void UsbBus::EnableLog(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  logEnabled_ = on;
}

size_t UsbBus::PendingInTransfers() {
  std::lock_guard<std::mutex> guard(lock_);
  size_t count = 0;
  for (auto& pipe : pipes_) count += pipe->pending.size();
  return count;
}

void UsbBus::SetInFault(std::function<InFault(uint8_t, uint64_t)> rule) {
  std::lock_guard<std::mutex> guard(lock_);
  inFault_ = std::move(rule);
}

void UsbBus::SetSubmitFault(std::function<bool(const URB&, uint8_t)> rule) {
  std::lock_guard<std::mutex> guard(lock_);
  submitFault_ = std::move(rule);
}

void UsbBus::SetUnplugPoint(std::function<bool(const URB&, uint8_t)> rule) {
  std::lock_guard<std::mutex> guard(lock_);
  unplugPoint_ = std::move(rule);
}

void UsbBus::SetResetPipeFails(bool fails) {
  std::lock_guard<std::mutex> guard(lock_);
  resetPipeFails_ = fails;
}

void UsbBus::SetSynchronousCancellation(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  synchronousCancellation_ = on;
}

void UsbBus::SetCancellationDelay(uint32_t milliseconds) {
  std::lock_guard<std::mutex> guard(lock_);
  cancellationDelayMs_ = milliseconds;
}

void UsbBus::SetSubmissionDelay(uint32_t milliseconds) {
  std::lock_guard<std::mutex> guard(lock_);
  submissionDelayMs_ = milliseconds;
}

bool UsbBus::EndpointHalted(uint8_t endpointAddress) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& pipe : pipes_)
    if (pipe->endpointAddress == endpointAddress) return pipe->halted;
  return false;
}

void UsbBus::HaltEndpoint(Pipe* pipe) {
  std::lock_guard<std::mutex> guard(lock_);
  pipe->halted = true;
}

void UsbBus::CompleteCancelled(std::vector<PIRP> irps) {
  if (irps.empty()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!synchronousCancellation_) {
      // Each cancellation completes its delay after it was asked for, not
      // after the one before it.
      auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(cancellationDelayMs_);
      work_.push_back([this, irps, due] {
        std::this_thread::sleep_until(due);
        for (PIRP irp : irps) CompleteIrp(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, BytesFilled(irp));
      });
      irps.clear();
    }
  }
  wake_.notify_all();
  for (PIRP irp : irps) CompleteIrp(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, BytesFilled(irp));
}

void UsbBus::SetPortStatus(ULONG status) {
  std::lock_guard<std::mutex> guard(lock_);
  portStatus_ = status;
}

ULONG UsbBus::PortStatus() {
  std::lock_guard<std::mutex> guard(lock_);
  return portStatus_;
}

uint32_t UsbBus::PortResets() {
  std::lock_guard<std::mutex> guard(lock_);
  return portResets_;
}

void UsbBus::SetSynchronousCompletion(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  synchronous_ = on;
}

void UsbBus::InDataAvailable() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    inDataSignalled_ = true;
  }
  wake_.notify_all();
}

void UsbBus::Record(UsbLogEntry entry) {
  std::lock_guard<std::mutex> guard(lock_);
  if (logEnabled_) log_.push_back(std::move(entry));
}

NTSTATUS NTAPI UsbBus::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return static_cast<UsbBus*>(device->DeviceExtension)->HandleIoctl(irp);
}

NTSTATUS UsbBus::HandleIoctl(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(location->Parameters.Others.Argument1);
      UsbLogEntry entry;
      entry.ioControlCode = code;
      Record(entry);
      return RunOrDefer(irp, [this, status, irp] {
        if (status != nullptr) *status = PortStatus();
        CompleteIrp(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
      });
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      UsbLogEntry entry;
      entry.ioControlCode = code;
      Record(entry);
      return RunOrDefer(irp, [this, irp] {
        NTSTATUS status = STATUS_SUCCESS;
        UsbDeviceModel* device;
        {
          std::lock_guard<std::mutex> guard(lock_);
          ++portResets_;
          device = device_;
          if (device != nullptr) portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
          else status = STATUS_DEVICE_NOT_CONNECTED;
        }
        if (device != nullptr) DeviceCall([&] { device->PortReset(); });
        CompleteIrp(irp, status, USBD_STATUS_SUCCESS, 0);
      });
    }
    default:
      irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS UsbBus::RunOrDefer(PIRP irp, std::function<void()> work) {
  bool synchronous;
  {
    std::lock_guard<std::mutex> guard(lock_);
    synchronous = synchronous_;
  }
  if (synchronous) {
    // The work completes the request; its status must be read before that,
    // because completion may free it.
    NTSTATUS result = STATUS_PENDING;
    irp->Tail.Overlay.DriverContext[2] = &result;
    work();
    return result;
  }
  irp->Tail.Overlay.DriverContext[2] = nullptr;
  IoMarkIrpPending(irp);
  {
    std::lock_guard<std::mutex> guard(lock_);
    work_.push_back(std::move(work));
  }
  wake_.notify_all();
  return STATUS_PENDING;
}

UsbBus::Pipe* UsbBus::PipeFromHandle(USBD_PIPE_HANDLE handle) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& pipe : pipes_)
    if (pipe.get() == handle && pipe->valid) return pipe.get();
  return nullptr;
}

NTSTATUS UsbBus::SubmitUrb(PIRP irp, PURB urb) {
  if (urb == nullptr) {
    CompleteIrp(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  Pipe* pipe = nullptr;
  USHORT function = urb->UrbHeader.Function;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    pipe = PipeFromHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle);
  else if (function == URB_FUNCTION_RESET_PIPE || function == URB_FUNCTION_ABORT_PIPE)
    pipe = PipeFromHandle(urb->UrbPipeRequest.PipeHandle);

  UsbLogEntry entry;
  entry.ioControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  entry.urbFunction = function;
  if (pipe != nullptr) entry.endpointAddress = pipe->endpointAddress;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    const auto& transfer = urb->UrbBulkOrInterruptTransfer;
    entry.length = transfer.TransferBufferLength;
    uint8_t* data = TransferAddress(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (pipe != nullptr && !(pipe->endpointAddress & USB_ENDPOINT_DIRECTION_MASK) && data != nullptr)
      entry.data.assign(data, data + transfer.TransferBufferLength);
  } else if (function == URB_FUNCTION_VENDOR_DEVICE) {
    const auto& vendor = urb->UrbControlVendorClassRequest;
    entry.request = vendor.Request;
    entry.value = vendor.Value;
    entry.length = vendor.TransferBufferLength;
    uint8_t* data = TransferAddress(vendor.TransferBuffer, vendor.TransferBufferMDL);
    if (!(vendor.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && data != nullptr)
      entry.data.assign(data, data + vendor.TransferBufferLength);
  } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    entry.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
    entry.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
  } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    entry.configurationCleared = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
  }
  Record(entry);

  bool unplugNow = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (device_ != nullptr && unplugPoint_ && unplugPoint_(*urb, entry.endpointAddress)) {
      unplugPoint_ = nullptr;
      unplugNow = true;
    }
  }
  if (unplugNow) Unplug();

  bool fail;
  bool halted = false;
  uint32_t delay;
  {
    std::lock_guard<std::mutex> guard(lock_);
    fail = device_ == nullptr || (submitFault_ && submitFault_(*urb, entry.endpointAddress));
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && pipe != nullptr) halted = pipe->halted;
    delay = submissionDelayMs_;
  }
  if (fail) {
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    CompleteIrp(irp, status, USBD_STATUS_DEVICE_GONE, 0);
    return status;
  }
  if (halted)
    return RunOrDefer(irp, [this, irp] { CompleteIrp(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, 0); });
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && delay != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && pipe != nullptr &&
      (pipe->endpointAddress & USB_ENDPOINT_DIRECTION_MASK))
    return QueueIn(irp, pipe);
  return RunOrDefer(irp, [this, irp, urb] { PerformUrb(irp, urb); });
}

NTSTATUS UsbBus::QueueIn(PIRP irp, Pipe* pipe) {
  BytesFilled(irp) = 0;
  FaultSlot(irp) = nullptr;
  IoMarkIrpPending(irp);
  {
    std::lock_guard<std::mutex> guard(lock_);
    IoSetCancelRoutine(irp, &UsbBus::CancelPendingIn);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      // Cancelled before it was queued: complete it here, outside the lock.
    } else {
      pipe->pending.push_back(irp);
      inDataSignalled_ = true;
      irp = nullptr;
    }
  }
  wake_.notify_all();
  if (irp != nullptr) CompleteCancelled({irp});
  return STATUS_PENDING;
}

void NTAPI UsbBus::CancelPendingIn(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<UsbBus*>(device->DeviceExtension);
  {
    std::lock_guard<std::mutex> guard(bus->lock_);
    for (auto* list : {&bus->pipes_, &bus->oldPipes_})
      for (auto& pipe : *list) {
        auto& pending = pipe->pending;
        for (auto it = pending.begin(); it != pending.end(); ++it)
          if (*it == irp) {
            pending.erase(it);
            goto removed;
          }
      }
  }
removed:
  bus->CompleteCancelled({irp});
}

void UsbBus::CompleteIrp(PIRP irp, NTSTATUS status, USBD_STATUS usbStatus, ULONG_PTR information) {
  PURB urb = UrbOf(irp);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr) {
    urb->UrbHeader.Status = usbStatus;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ULONG(information);
  }
  if (auto* result = static_cast<NTSTATUS*>(irp->Tail.Overlay.DriverContext[2])) *result = status;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IrqlRaise atDispatchLevel;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void UsbBus::PerformUrb(PIRP irp, PURB urb) {
  UsbDeviceModel* device;
  {
    std::lock_guard<std::mutex> guard(lock_);
    device = device_;
  }
  if (device == nullptr) {
    CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
    return;
  }
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& request = urb->UrbControlDescriptorRequest;
      uint8_t* buffer = TransferAddress(request.TransferBuffer, request.TransferBufferMDL);
      UsbTransferResult result = DeviceCall([&] {
        return device->GetDescriptor(request.DescriptorType, request.Index, request.LanguageId, buffer,
                                     buffer ? request.TransferBufferLength : 0);
      });
      request.TransferBufferLength = result.bytes;
      CompleteIrp(irp, USBD_SUCCESS(result.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, result.status, 0);
      return;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto& request = urb->UrbControlVendorClassRequest;
      uint8_t* buffer = TransferAddress(request.TransferBuffer, request.TransferBufferMDL);
      UsbTransferResult result = DeviceCall([&] {
        return device->VendorRequest((request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0,
                                     request.Request, request.Value, request.Index, buffer,
                                     buffer ? request.TransferBufferLength : 0);
      });
      request.TransferBufferLength = result.bytes;
      CompleteIrp(irp, USBD_SUCCESS(result.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, result.status, 0);
      return;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      PerformSelectConfiguration(irp, urb, device);
      return;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      PerformBulkOut(irp, urb, PipeFromHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle), device);
      return;
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
      PerformPipeRequest(irp, urb, PipeFromHandle(urb->UrbPipeRequest.PipeHandle), device);
      return;
    default:
      CompleteIrp(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION, 0);
  }
}

void UsbBus::PerformSelectConfiguration(PIRP irp, PURB urb, UsbDeviceModel* device) {
  auto& select = urb->UrbSelectConfiguration;
  std::vector<PIRP> orphans;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& pipe : pipes_) {
      AbortPipeLocked(pipe.get(), orphans);
      pipe->valid = false;
      oldPipes_.push_back(std::move(pipe));
    }
    pipes_.clear();
  }
  CompleteCancelled(std::move(orphans));

  PUSB_CONFIGURATION_DESCRIPTOR configuration = select.ConfigurationDescriptor;
  if (configuration == nullptr) {
    DeviceCall([&] { device->SelectConfiguration(0); });
    CompleteIrp(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
    return;
  }
  auto fail = [&](USBD_STATUS status) { CompleteIrp(irp, STATUS_UNSUCCESSFUL, status, 0); };
  if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
    return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

  std::vector<std::unique_ptr<Pipe>> pipes;
  auto* at = reinterpret_cast<uint8_t*>(&select.Interface);
  auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
  while (at + sizeof(USBD_INTERFACE_INFORMATION) <= end) {
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (information->Length < sizeof(USBD_INTERFACE_INFORMATION) || at + information->Length > end)
      return fail(USBD_STATUS_INVALID_PARAMETER);
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, information->InterfaceNumber, information->AlternateSetting, -1, -1, -1);
    if (interface == nullptr) return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    auto endpoints = EndpointsOf(configuration, interface);
    ULONG room = ULONG((information->Length - sizeof(USBD_INTERFACE_INFORMATION)) / sizeof(USBD_PIPE_INFORMATION) + 1);
    if (endpoints.size() != interface->bNumEndpoints || endpoints.size() > room)
      return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    information->Class = interface->bInterfaceClass;
    information->SubClass = interface->bInterfaceSubClass;
    information->Protocol = interface->bInterfaceProtocol;
    information->InterfaceHandle = interface;
    information->NumberOfPipes = ULONG(endpoints.size());
    for (size_t i = 0; i < endpoints.size(); ++i) {
      auto pipe = std::make_unique<Pipe>();
      pipe->endpointAddress = endpoints[i]->bEndpointAddress;
      pipe->type = USBD_PIPE_TYPE(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe->maxPacketSize = endpoints[i]->wMaxPacketSize;
      USBD_PIPE_INFORMATION& out = information->Pipes[i];
      out.MaximumPacketSize = pipe->maxPacketSize;
      out.EndpointAddress = pipe->endpointAddress;
      out.Interval = endpoints[i]->bInterval;
      out.PipeType = pipe->type;
      out.PipeHandle = pipe.get();
      pipes.push_back(std::move(pipe));
    }
    at += information->Length;
  }
  USBD_STATUS status = DeviceCall([&] { return device->SelectConfiguration(configuration->bConfigurationValue); });
  if (!USBD_SUCCESS(status)) return fail(status);
  {
    std::lock_guard<std::mutex> guard(lock_);
    pipes_ = std::move(pipes);
  }
  select.ConfigurationHandle = configuration;
  CompleteIrp(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
}

void UsbBus::PerformBulkOut(PIRP irp, PURB urb, Pipe* pipe, UsbDeviceModel* device) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  if (pipe == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
  uint8_t* data = TransferAddress(transfer.TransferBuffer, transfer.TransferBufferMDL);
  UsbTransferResult result =
      DeviceCall([&] { return device->BulkOut(pipe->endpointAddress, data, data ? transfer.TransferBufferLength : 0); });
  if (!USBD_SUCCESS(result.status)) HaltEndpoint(pipe);
  CompleteIrp(irp, USBD_SUCCESS(result.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, result.status,
              result.bytes);
}

void UsbBus::PerformPipeRequest(PIRP irp, PURB urb, Pipe* pipe, UsbDeviceModel* device) {
  if (pipe == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0);
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    // The abort completes before the transfers it cancels, which complete
    // later: the caller must wait for them before it resets the pipe. The
    // endpoint's halt is left as it was.
    std::vector<PIRP> orphans;
    {
      std::lock_guard<std::mutex> guard(lock_);
      AbortPipeLocked(pipe, orphans);
    }
    DeviceCall([&] { device->AbortPipe(pipe->endpointAddress); });
    CompleteIrp(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
    return CompleteCancelled(std::move(orphans));
  }
  bool fails;
  bool busy;
  {
    std::lock_guard<std::mutex> guard(lock_);
    fails = resetPipeFails_;
    busy = !pipe->pending.empty();
  }
  if (busy) return CompleteIrp(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY, 0);
  if (fails) return CompleteIrp(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 0);
  USBD_STATUS status = DeviceCall([&] { return device->ResetPipe(pipe->endpointAddress); });
  if (USBD_SUCCESS(status)) {
    std::lock_guard<std::mutex> guard(lock_);
    pipe->halted = false;
  }
  CompleteIrp(irp, USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, status, 0);
}

void UsbBus::AbortPipeLocked(Pipe* pipe, std::vector<PIRP>& toCancel) {
  while (!pipe->pending.empty()) {
    PIRP irp = pipe->pending.front();
    pipe->pending.pop_front();
    // A request whose cancel routine already runs is completed by that routine.
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) toCancel.push_back(irp);
  }
}

bool UsbBus::ServeOne(Pipe* pipe) {
  PIRP irp;
  InFault fault;
  UsbDeviceModel* device;
  {
    std::lock_guard<std::mutex> guard(lock_);
    device = device_;
    if (pipe->pending.empty() || device == nullptr || pipe->halted) return false;
    irp = pipe->pending.front();
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;  // its cancel routine takes it
    pipe->pending.pop_front();
    if (FaultSlot(irp) == nullptr) {
      // First look at this transfer: decide its injected fault once.
      uint64_t index = pipe->inTransfersStarted++;
      if (inFault_) fault = inFault_(pipe->endpointAddress, index);
      FaultSlot(irp) = reinterpret_cast<PVOID>(uintptr_t(1) | (fault.shortTransfer ? 2 : 0));
      if (fault.shortTransfer) irp->Tail.Overlay.DriverContext[3] = reinterpret_cast<PVOID>(uintptr_t(fault.shortBytes));
    }
  }
  auto& transfer = UrbOf(irp)->UrbBulkOrInterruptTransfer;
  if (fault.fail) {
    HaltEndpoint(pipe);
    CompleteIrp(irp, STATUS_UNSUCCESSFUL, fault.status, 0);
    return true;
  }
  ULONG capacity = transfer.TransferBufferLength;
  if (uintptr_t(FaultSlot(irp)) & 2) {
    ULONG shortBytes = ULONG(uintptr_t(irp->Tail.Overlay.DriverContext[3]));
    if (shortBytes < capacity) capacity = shortBytes;
  }
  uint8_t* buffer = TransferAddress(transfer.TransferBuffer, transfer.TransferBufferMDL);
  ULONG filled = ULONG(BytesFilled(irp));
  UsbInResult result;
  if (filled < capacity)
    result = DeviceCall([&] { return device->BulkIn(pipe->endpointAddress, buffer + filled, capacity - filled); });
  if (result.bytes > capacity - filled) PlatformFault("device wrote beyond an IN transfer");
  filled += result.bytes;
  BytesFilled(irp) = filled;
  if (!USBD_SUCCESS(result.status)) {
    HaltEndpoint(pipe);
    CompleteIrp(irp, STATUS_UNSUCCESSFUL, result.status, filled);
    return true;
  }
  if (result.transferEnds || filled >= capacity) {
    CompleteIrp(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, filled);
    return true;
  }
  bool cancelled = false;
  bool unplugged = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (device_ == nullptr) {
      unplugged = true;  // the port emptied its queues while we filled this one
    } else {
      IoSetCancelRoutine(irp, &UsbBus::CancelPendingIn);
      if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr)
        cancelled = true;
      else
        pipe->pending.push_front(irp);
    }
  }
  if (unplugged) CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, filled);
  if (cancelled) CompleteCancelled({irp});
  return result.bytes > 0;
}

void UsbBus::ServeInTransfers() {
  for (;;) {
    std::vector<Pipe*> pipes;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (auto& pipe : pipes_)
        if (!pipe->pending.empty()) pipes.push_back(pipe.get());
    }
    bool progress = false;
    for (Pipe* pipe : pipes)
      while (ServeOne(pipe)) progress = true;
    if (!progress) return;
  }
}

void UsbBus::ThreadMain() {
  for (;;) {
    std::deque<std::function<void()>> work;
    {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait(guard, [this] { return stopping_ || !work_.empty() || inDataSignalled_; });
      if (stopping_ && work_.empty()) return;
      work.swap(work_);
      inDataSignalled_ = false;
    }
    for (auto& item : work) item();
    ServeInTransfers();
  }
}

}  // namespace host
