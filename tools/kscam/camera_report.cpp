#include "tools/kscam/camera_report.h"

#include <string.h>

#include "tools/client/status_text.h"
#include "usb/command_packets.h"
#include "usb/usb_requests.h"

namespace kscam {

namespace {

const char* PipeTypeName(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeControl: return "control";
    case UsbdPipeTypeIsochronous: return "isochronous";
    case UsbdPipeTypeBulk: return "bulk";
    case UsbdPipeTypeInterrupt: return "interrupt";
  }
  return "unknown";
}

}  // namespace

void PrintDeviceDescriptor(DeviceContext* ctx) {
  URB urb;
  USB_DEVICE_DESCRIPTOR descriptor;
  memset(&descriptor, 0, sizeof descriptor);
  NTSTATUS status = GetDescriptor(&ctx->usb, &urb, USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, sizeof descriptor);
  if (!NT_SUCCESS(status)) {
    printf("device descriptor: %s\n", StatusText(status).c_str());
    return;
  }
  printf("device descriptor: vendor 0x%04X, product 0x%04X, USB %x.%02x\n", descriptor.idVendor,
         descriptor.idProduct, descriptor.bcdUSB >> 8, descriptor.bcdUSB & 0xFF);
}

void PrintConfiguration(DeviceContext* ctx) {
  const UsbDevice& usb = ctx->usb;
  if (usb.configDescriptor == nullptr) {
    printf("configuration: none\n");
    return;
  }
  auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(usb.configDescriptor);
  printf("configuration: value %u, %u interface(s), %u bytes of descriptors\n",
         configuration->bConfigurationValue, configuration->bNumInterfaces, configuration->wTotalLength);
  const USBD_INTERFACE_INFORMATION* interface = usb.interfaceInfo;
  if (interface == nullptr) return;
  printf("interface %u: %u pipe(s)\n", interface->InterfaceNumber, unsigned(interface->NumberOfPipes));
  static const char* kRoles[] = {"commands", "replies", "frames"};
  for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION& pipe = interface->Pipes[i];
    printf("  pipe %u: endpoint 0x%02X %s %s, max packet %u, max transfer %u%s%s\n", unsigned(i),
           pipe.EndpointAddress, PipeIsIn(&pipe) ? "in" : "out", PipeTypeName(pipe.PipeType),
           pipe.MaximumPacketSize, unsigned(pipe.MaximumTransferSize), i < 3 ? ", " : "", i < 3 ? kRoles[i] : "");
  }
}

void PrintSensor(DeviceContext* ctx) {
  ULONG chip = 0;
  ULONG variant = 0;
  bool read = ReadSensorRegister(ctx, 0x00, &chip) && ReadSensorRegister(ctx, 0xFD, &variant);
  if (!read) {
    printf("sensor: not answering\n");
    return;
  }
  printf("sensor: chip identification 0x%04X, variant register 0x%04X\n", unsigned(chip), unsigned(variant));
  printf("image: %d x %d pixels (window %d, %d, %d x %d, subsampling mode %d)\n", ctx->imageWidth,
         ctx->imageHeight, ctx->roiX, ctx->roiY, ctx->roiWidth, ctx->roiHeight, ctx->subSample);
}

}  // namespace kscam
