// kscam list and kscam info: the cameras present, and one camera as the
// driver sees it.
#include <CLI/CLI.hpp>
#include <stdio.h>

#include "tools/client/status_text.h"
#include "tools/kscam/camera_report.h"
#include "tools/kscam/camera_rig.h"
#include "tools/kscam/commands.h"
#include "usb/usb_requests.h"

namespace {

constexpr double k100nsPerSecond = 1e7;

std::string CameraName(kscam::CameraSystem& system) {
  URB urb;
  USB_DEVICE_DESCRIPTOR descriptor = {};
  NTSTATUS status = GetDescriptor(&system.Context()->usb, &urb, USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, sizeof descriptor);
  if (!NT_SUCCESS(status)) return "camera (no descriptor)";
  char name[64];
  snprintf(name, sizeof name, "simulated USB camera %04X:%04X", descriptor.idVendor, descriptor.idProduct);
  return name;
}

int RunList(const kscam::CameraChoice& choice) {
  std::string error;
  std::unique_ptr<kscam::CameraRig> rig = kscam::CameraRig::Plug(choice, kscam::FreshFromTheBox(), &error);
  if (!rig) return ReportFailure("list", error);
  std::vector<kscam::CameraSystem*> systems;
  for (size_t i = 0; i < rig->Count(); ++i) systems.push_back(&rig->System(i));
  std::vector<kscam::CameraEntry> cameras = kscam::EnumerateCameras(systems);
  if (cameras.empty()) return ReportFailure("list", "no camera started");
  for (const kscam::CameraEntry& camera : cameras)
    printf("%zu: %s  %s\n", camera.index, CameraName(*camera.system).c_str(), kscam::DeviceInstance(*camera.system).c_str());
  return 0;
}

void PrintFormat(const kscam::VideoFormat& format) {
  double rate = format.frameInterval > 0 ? k100nsPerSecond / double(format.frameInterval) : 0;
  printf("pin format: %d x %d, %u bits per pixel, %s, %u bytes, frame interval %lld x 100 ns (%.2f frames per second)\n",
         format.width, format.height < 0 ? -format.height : format.height, format.bitCount,
         format.height < 0 ? "top-down" : "bottom-up", format.imageBytes, (long long)format.frameInterval, rate);
}

void PrintRange(const KS_DATARANGE_VIDEO& range) {
  const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
  printf("data range: %d x %d, %u bits per pixel; output %d x %d to %d x %d; frame interval %lld to %lld x 100 ns\n",
         bitmap.biWidth, bitmap.biHeight, bitmap.biBitCount, caps.MinOutputSize.cx, caps.MinOutputSize.cy,
         caps.MaxOutputSize.cx, caps.MaxOutputSize.cy, (long long)caps.MinFrameInterval,
         (long long)caps.MaxFrameInterval);
}

int RunInfo(const kscam::CameraChoice& choice) {
  kscam::CameraSession session;
  std::string error;
  if (!kscam::OpenCameraSession(choice, kscam::ClientOptions(), &session, &error)) return ReportFailure("info", error);
  kscam::CameraRig& rig = *session.rig;
  printf("camera %zu: %s  %s\n", rig.Chosen(), CameraName(rig.System()).c_str(),
         kscam::DeviceInstance(rig.System()).c_str());
  printf("driver: %s\n", rig.LoadedDriver() ? ("loaded from " + rig.DriverFile()).c_str() : "built in");
  DeviceContext* ctx = rig.System().Context();
  kscam::PrintDeviceDescriptor(ctx);
  bool downloaded = rig.Tap().Camera().ReEnumerations() > 0;
  printf("camera firmware: %s\n", !ctx->usb.firmwareRunning ? "not running"
                                  : downloaded             ? "running (downloaded at start; the camera re-enumerated)"
                                                           : "running");
  kscam::PrintSensor(ctx);
  kscam::VideoFormat format;
  NTSTATUS status = session.client->Negotiate(&format);
  if (!NT_SUCCESS(status)) return ReportFailure("info", "no format: " + kscam::StatusText(status));
  PrintFormat(format);
  KS_DATARANGE_VIDEO range;
  status = session.client->ReadDataRange(&range);
  if (!NT_SUCCESS(status)) return ReportFailure("info", "no data range: " + kscam::StatusText(status));
  PrintRange(range);
  return 0;
}

}  // namespace

CommandRunner DefineList(CLI::App& command) {
  auto choice = std::make_shared<kscam::CameraChoice>();
  kscam::AddCameraOptions(command, choice.get());
  return [choice] { return RunList(*choice); };
}

CommandRunner DefineInfo(CLI::App& command) {
  auto choice = std::make_shared<kscam::CameraChoice>();
  kscam::AddCameraOptions(command, choice.get());
  return [choice] { return RunInfo(*choice); };
}
