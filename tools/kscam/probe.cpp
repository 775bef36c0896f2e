// kscam probe: plug the simulated camera in, load and start the driver, and
// print what the driver found on the bus. A fresh camera (the bare bridge)
// gets its firmware at start and comes back as a new device.
#include <stdio.h>
#include <string.h>

#include <chrono>

#include "platform/kernel_exports.h"
#include "tools/client/camera_system.h"
#include "tools/client/status_text.h"
#include "tools/kscam/commands.h"
#include "usb/command_packets.h"
#include "usb/firmware_download.h"
#include "usb/usb_requests.h"

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

bool ParseProbeOptions(const CommandArguments& arguments, sim::CameraOptions* options, std::string* driverFile) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--driver" && i + 1 < arguments.size()) {
      *driverFile = arguments[++i];
    } else if (argument == "--bridge") {
      options->firmwareRunning = false;
    } else if (argument == "--running") {
      options->firmwareRunning = true;
    } else if (argument == "--chip" && i + 1 < arguments.size()) {
      const std::string& chip = arguments[++i];
      if (chip == "1800") options->chip = sim::SensorChip::Rev1800;
      else if (chip == "1801-short") options->chip = sim::SensorChip::Rev1801Short;
      else if (chip == "1801-long") options->chip = sim::SensorChip::Rev1801Long;
      else {
        fprintf(stderr, "kscam probe: unknown chip '%s' (1800, 1801-short, 1801-long)\n", chip.c_str());
        return false;
      }
    } else {
      fprintf(stderr, "kscam probe: unknown option '%s'\n", argument.c_str());
      return false;
    }
  }
  return true;
}

void PrintDeviceDescriptor(DeviceContext* ctx) {
  URB urb;
  USB_DEVICE_DESCRIPTOR descriptor;
  memset(&descriptor, 0, sizeof descriptor);
  NTSTATUS status = GetDescriptor(&ctx->usb, &urb, USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, sizeof descriptor);
  if (!NT_SUCCESS(status)) {
    printf("device descriptor: %s\n", kscam::StatusText(status).c_str());
    return;
  }
  printf("device descriptor: vendor 0x%04X, product 0x%04X, USB %x.%02x\n", descriptor.idVendor,
         descriptor.idProduct, descriptor.bcdUSB >> 8, descriptor.bcdUSB & 0xFF);
}

// The firmware-load requests of one start, image by image: each image ends
// with the write that releases the processor at the newer reset address.
void PrintDownload(const std::vector<host::UsbLogEntry>& log) {
  static const char* kImages[] = {"loader", "camera firmware"};
  unsigned image = 0, requests = 0, loads = 0, bytes = 0;
  for (const host::UsbLogEntry& entry : log) {
    if (entry.urbFunction != URB_FUNCTION_VENDOR_DEVICE) continue;
    ++requests;
    bool reset = entry.value == kCpuResetAddress || entry.value == kCpuResetAddressOld;
    if (!reset) ++loads, bytes += entry.length;
    if (entry.value != kCpuResetAddress || entry.data != std::vector<uint8_t>{0}) continue;
    printf("firmware download: %s, %u records (%u bytes) in %u requests\n", image < 2 ? kImages[image] : "image",
           loads, bytes, requests);
    ++image;
    requests = loads = bytes = 0;
  }
  if (image == 0 && requests == 0) printf("firmware download: skipped, no vendor request sent\n");
}

// Starts the device and prints what the start found and sent.
NTSTATUS StartAndReport(kscam::CameraSystem& system, NTSTATUS (kscam::CameraSystem::*start)()) {
  PrintDeviceDescriptor(system.Context());
  system.Bus().ClearLog();
  auto began = std::chrono::steady_clock::now();
  NTSTATUS status = (system.*start)();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  printf("start: %s (%.1f ms)\n", kscam::StatusText(status).c_str(), ms);
  bool running = system.Context() != nullptr && system.Context()->usb.firmwareRunning;
  printf("camera firmware: %s\n", running ? "running" : "not running (bridge identity)");
  PrintDownload(system.Bus().Log());
  return status;
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

}  // namespace

int RunProbe(const CommandArguments& arguments) {
  sim::CameraOptions options;
  options.firmwareRunning = false;  // a camera fresh from the box: the bare bridge
  std::string driverFile;
  if (!ParseProbeOptions(arguments, &options, &driverFile)) return 2;
  // --driver: the Windows build of the driver, loaded and bound to the
  // platform's exports, instead of the one built into this program. Both
  // builds lay the device record out alike, so what follows reads either.
  std::unique_ptr<host::PeImage> image;
  if (!driverFile.empty()) {
    host::PeLoadResult loaded = host::LoadPeImageFile(driverFile, host::KernelExports());
    if (!loaded.image) {
      fprintf(stderr, "kscam probe: %s\n", loaded.error.c_str());
      return 1;
    }
    image = std::move(loaded.image);
  }
  kscam::CameraSystem system(options);
  if (image) system.UseDriverEntry(reinterpret_cast<DRIVER_INITIALIZE*>(image->EntryPoint()));
  NTSTATUS status = system.LoadDriver();
  if (image) image->DiscardSections();
  printf("driver entry: %s\n", kscam::StatusText(status).c_str());
  if (!NT_SUCCESS(status)) return 1;
  status = system.AddDevice();
  printf("add: %s\n", kscam::StatusText(status).c_str());
  if (!NT_SUCCESS(status)) return 1;
  status = StartAndReport(system, &kscam::CameraSystem::StartDevice);
  if (system.Camera()->ReEnumerations() > 0) {
    // The firmware came up and the camera left the bus and came back: the
    // bridge's device goes, the camera's device is added and started.
    printf("camera re-enumerated: the bridge's device is removed, the camera's device added\n");
    status = StartAndReport(system, &kscam::CameraSystem::ReEnumerate);
  }
  DeviceContext* ctx = system.Context();
  PrintConfiguration(ctx);
  PrintSensor(ctx);
  system.StopDevice();
  printf("stop: camera unconfigured\n");
  return NT_SUCCESS(status) ? 0 : 1;
}
