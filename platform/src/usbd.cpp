// The usbd library calls: parse a configuration descriptor, build a
// select-configuration request for a list of interfaces. Like the platform's
// library they trust the descriptor: the walk goes by each descriptor's own
// length up to the total length and checks nothing. Where the platform's walk
// would loop for ever or read past the buffer, the host stops with a fault;
// a short descriptor of interface type is taken for an interface as it is
// there. Whatever validation a driver needs, it does itself beforehand.
#include "platform/usb.h"

#include "host_internal.h"

namespace {

const ULONG kTagUsbd = 0x44425355;  // "USBD"

// The next descriptor after `at`, as the platform's walk finds it.
const UCHAR* NextDescriptor(const UCHAR* at) {
  if (at[0] == 0) host::PlatformFault("USBD_ParseConfigurationDescriptorEx: a descriptor of length 0 "
                                      "makes the platform's walk loop for ever");
  return at + at[0];
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
  for (const UCHAR* at = static_cast<const UCHAR*>(startPosition); at < end; at = NextDescriptor(at)) {
    if (at + 2 > end) host::PlatformFault("USBD_ParseConfigurationDescriptorEx read past the descriptor");
    if (at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    if (at + sizeof(USB_INTERFACE_DESCRIPTOR) > end)
      host::PlatformFault("USBD_ParseConfigurationDescriptorEx read an interface past the descriptor");
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
