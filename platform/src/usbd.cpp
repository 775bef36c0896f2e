// The usbd library calls: parse a configuration descriptor, build a
// select-configuration request for a list of interfaces. Both stay inside the
// descriptor's own total length and stop at a malformed entry.
#include "platform/usb.h"

namespace {

const ULONG kTagUsbd = 0x44425355;  // "USBD"

// The next descriptor after `at`, or null when `at` is malformed (length 0 or
// running past the end).
const UCHAR* NextDescriptor(const UCHAR* at, const UCHAR* end) {
  if (at + 2 > end) return nullptr;
  UCHAR length = at[0];
  if (length < 2 || at + length > end) return nullptr;
  return at + length;
}

const UCHAR* DescriptorEnd(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  return reinterpret_cast<const UCHAR*>(configuration) + configuration->wTotalLength;
}

ULONG InterfaceInformationSize(ULONG pipes) {
  ULONG extraPipes = pipes > 1 ? pipes - 1 : 0;
  return ULONG(sizeof(USBD_INTERFACE_INFORMATION) + extraPipes * sizeof(USBD_PIPE_INFORMATION));
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol) {
  const UCHAR* end = DescriptorEnd(configurationDescriptor);
  for (const UCHAR* at = static_cast<const UCHAR*>(startPosition); at != nullptr && at < end;
       at = NextDescriptor(at, end)) {
    if (at + sizeof(USB_INTERFACE_DESCRIPTOR) > end || at[1] != USB_INTERFACE_DESCRIPTOR_TYPE ||
        at[0] < sizeof(USB_INTERFACE_DESCRIPTOR))
      continue;
    auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(at));
    if ((interfaceNumber == -1 || candidate->bInterfaceNumber == interfaceNumber) &&
        (alternateSetting == -1 || candidate->bAlternateSetting == alternateSetting) &&
        (interfaceClass == -1 || candidate->bInterfaceClass == interfaceClass) &&
        (interfaceSubClass == -1 || candidate->bInterfaceSubClass == interfaceSubClass) &&
        (interfaceProtocol == -1 || candidate->bInterfaceProtocol == interfaceProtocol))
      return candidate;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  ULONG interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
    size += InterfaceInformationSize(entry->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0) size += sizeof(USBD_INTERFACE_INFORMATION);
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTagUsbd));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
  auto* at = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
    information->Length = USHORT(InterfaceInformationSize(pipes));
    information->InterfaceNumber = entry->InterfaceDescriptor->bInterfaceNumber;
    information->AlternateSetting = entry->InterfaceDescriptor->bAlternateSetting;
    information->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) information->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
    entry->Interface = information;
    at += information->Length;
  }
  return urb;
}
