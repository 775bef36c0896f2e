// kscam capture and kscam snap: frames from the capture pin to PNG files, or
// the raw frames the camera sent, each with a sidecar that lets "kscam
// convert" make the same picture later.
#include <CLI/CLI.hpp>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>

#include "tools/client/png_file.h"
#include "tools/client/raw_conversion.h"
#include "tools/client/status_text.h"
#include "tools/kscam/camera_rig.h"
#include "tools/kscam/commands.h"
#include "tools/kscam/region_request.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClientBuffers = 4;
constexpr size_t kQueuedFrames = 16;   // frames waiting to be written before the oldest is dropped
constexpr double k100nsPerSecond = 1e7;
constexpr double kShortRate = 0.9;     // a measured rate below this share of the nominal one is worth a warning
constexpr auto kFrameWait = std::chrono::seconds(10);

struct CaptureArguments {
  const char* command = "capture";
  kscam::CameraChoice camera;
  unsigned frames = 10;
  double seconds = 0;  // above 0: capture for this long instead of a number of frames
  std::string pattern;
  bool raw = false;
  bool metadata = false;
  std::string roi;
  std::optional<int32_t> subsample;
};

// One frame as the capture writes it, from the pin or from the bus.
struct CapturedFrame {
  uint64_t sequence = 0;
  int64_t time100ns = 0;
  bool timeValid = false;
};

// What stays the same for every frame of one capture.
struct CaptureSetup {
  kscam::VideoFormat format;
  FrameLayout layout{};
  LONG rawWidth = 0, rawHeight = 0;
  LONG bayerPhase = 0;
  std::vector<kscam::ControlInfo> settings;
  int32_t Setting(const std::string& name) const {
    for (const kscam::ControlInfo& control : settings)
      if (control.name == name) return control.current;
    return 0;
  }
};

// '#' in the pattern becomes the frame's sequence number.
std::string FileName(const std::string& pattern, uint64_t sequence) {
  char number[24];
  snprintf(number, sizeof number, "%06llu", (unsigned long long)sequence);
  std::string name;
  for (char c : pattern) name += c == '#' ? std::string(number) : std::string(1, c);
  return name;
}

bool WriteRawFrame(const std::string& path, const kscam::RawFrame& frame, const CaptureSetup& setup,
                   std::string* error) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return *error = path + ": " + strerror(errno), false;
  bool written = fwrite(frame.bytes.data(), 1, frame.bytes.size(), file) == frame.bytes.size();
  if (fclose(file) != 0 || !written) {
    remove(path.c_str());
    return *error = path + ": write error", false;
  }
  RawSidecar sidecar;
  sidecar.width = uint32_t(setup.rawWidth);
  sidecar.height = uint32_t(setup.rawHeight);
  sidecar.imageWidth = uint32_t(setup.format.width);
  sidecar.lineOffset = setup.layout.lineOffset;
  sidecar.rowPitch = setup.layout.rowPitch;
  sidecar.frameBytes = uint32_t(frame.bytes.size());
  sidecar.bayerPhase = setup.bayerPhase;
  sidecar.sequence = frame.sequence;
  sidecar.time100ns = frame.time100ns;
  for (const kscam::ControlInfo& control : setup.settings) sidecar.settings.emplace_back(control.name, control.current);
  return WriteSidecar(SidecarPathFor(path), sidecar, error);
}

// Once running: the raw layout the camera settled on, fixed while the pin exists.
void ReadRawLayout(kscam::CameraSystem& system, CaptureSetup* setup) {
  DeviceContext* ctx = system.Context();
  GetFrameLayout(ctx, &setup->layout);
  setup->rawWidth = ctx->outputWidth;
  setup->rawHeight = ctx->outputHeight;
  setup->bayerPhase = ctx->bayerPhase;
}

// Takes frames and writes them until the count or the time is reached.
class Capture {
 public:
  Capture(const CaptureArguments& arguments, kscam::CameraSession& session, CaptureSetup& setup)
      : arguments_(arguments), session_(session), setup_(setup) {}

  bool Run(std::string* error);
  void PrintSummary() const;

 private:
  bool Finished() const;
  bool NextFrame(CapturedFrame* frame, std::string* error);
  void Note(const CapturedFrame& frame);

  const CaptureArguments& arguments_;
  kscam::CameraSession& session_;
  CaptureSetup& setup_;
  Clock::time_point began_;
  Clock::time_point last_;
  uint64_t written_ = 0;
  int64_t firstTime_ = 0, lastTime_ = 0;
  bool timesValid_ = true;
  bool progress_ = isatty(STDERR_FILENO) != 0;
};

bool Capture::Finished() const {
  if (arguments_.seconds > 0) return Clock::now() - began_ >= std::chrono::duration<double>(arguments_.seconds);
  return written_ >= arguments_.frames;
}

bool Capture::NextFrame(CapturedFrame* frame, std::string* error) {
  std::string path;
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kFrameWait);
  if (arguments_.raw) {
    kscam::RawFrame raw;
    if (!session_.rig->Tap().NextFrame(&raw, wait)) return *error = "no frame from the camera in 10 s", false;
    *frame = CapturedFrame{raw.sequence, raw.time100ns, true};
    path = FileName(arguments_.pattern, raw.sequence);
    return WriteRawFrame(path, raw, setup_, error) || (*error = "cannot write the frame: " + *error, false);
  }
  kscam::Frame picture;
  NTSTATUS status = session_.client->NextFrame(&picture, wait);
  if (status == STATUS_TIMEOUT) return *error = "no frame from the camera in 10 s", false;
  if (!NT_SUCCESS(status)) return *error = "the capture failed: " + kscam::StatusText(status), false;
  *frame = CapturedFrame{picture.sequence, picture.time, picture.timeValid};
  path = FileName(arguments_.pattern, picture.sequence);
  if (!WritePng(path, picture.pixels.data(), uint32_t(picture.width), uint32_t(picture.height), picture.stride, error))
    return *error = "cannot write the frame: " + *error, false;
  return true;
}

void Capture::Note(const CapturedFrame& frame) {
  if (written_ == 0) firstTime_ = frame.time100ns;
  lastTime_ = frame.time100ns;
  timesValid_ = timesValid_ && frame.timeValid;
  ++written_;
  last_ = Clock::now();
  if (arguments_.metadata)
    printf("frame %06llu  time %.7f s  exposure %d  gain %d\n", (unsigned long long)frame.sequence,
           double(frame.time100ns) / k100nsPerSecond, setup_.Setting("exposure"), setup_.Setting("gain"));
  if (progress_)
    fprintf(stderr, "\rframe %llu%s", (unsigned long long)written_,
            arguments_.seconds > 0 ? "" : (" of " + std::to_string(arguments_.frames)).c_str());
}

bool Capture::Run(std::string* error) {
  began_ = last_ = Clock::now();
  NTSTATUS status = session_.client->Run();
  if (!NT_SUCCESS(status)) return *error = "the capture does not run: " + kscam::StatusText(status), false;
  ReadRawLayout(session_.rig->System(), &setup_);
  bool ok = true;
  while (ok && !Finished()) {
    CapturedFrame frame;
    ok = NextFrame(&frame, error);
    if (ok) Note(frame);
  }
  if (progress_) fprintf(stderr, "\n");
  return ok;
}

// The pin hands a client a frame whenever it has a buffer to fill, the
// previous picture again when the camera has sent no new one since: the
// rate that tells how the camera keeps up is the camera's own, counted on
// the bus, beside the rate of frames delivered.
void Capture::PrintSummary() const {
  kscam::FrameTap& tap = session_.rig->Tap();
  uint64_t dropped = arguments_.raw ? tap.FramesDropped() : session_.client->FramesDropped();
  printf("frames: %llu delivered, %llu dropped (the camera sent %llu whole frames)\n", (unsigned long long)written_,
         (unsigned long long)dropped, (unsigned long long)tap.FramesSeen());
  double nominal = k100nsPerSecond / double(setup_.format.frameInterval);
  double span = double(lastTime_ - firstTime_) / k100nsPerSecond;
  double delivered = written_ > 1 && timesValid_ && span > 0 ? double(written_ - 1) / span : 0;
  double camera = tap.MeasuredRate();
  if (camera > 0) {
    printf("rate: %.1f frames per second from the camera, %.1f delivered, %.1f nominal\n", camera, delivered, nominal);
    fflush(stdout);  // the warning follows the line it is about
    if (camera < kShortRate * nominal)
      fprintf(stderr, "warning: the camera's measured rate (%.1f frames per second) falls short of the format's %.1f\n",
              camera, nominal);
  } else {
    printf("rate: not measured (fewer than two frames from the camera), %.1f nominal\n", nominal);
  }
  printf("elapsed: %.3f s\n", std::chrono::duration<double>(last_ - began_).count());
}

// Before the pin: the format, and the settings in force for the sidecars.
bool Prepare(kscam::CameraSession& session, CaptureSetup* setup, std::string* error) {
  NTSTATUS status = session.client->Negotiate(&setup->format);
  if (NT_SUCCESS(status)) status = session.client->CreatePin(setup->format);
  if (NT_SUCCESS(status)) status = session.controls->List(&setup->settings);
  if (!NT_SUCCESS(status)) *error = "the camera does not stream: " + kscam::StatusText(status);
  return NT_SUCCESS(status);
}

bool CheckArguments(const CaptureArguments& arguments, kscam::RegionRequest* region, std::string* error) {
  bool many = arguments.seconds > 0 || arguments.frames > 1;
  if (many && arguments.pattern.find('#') == std::string::npos)
    return *error = "-o needs a '#' for the frame number when there is more than one frame", false;
  if (!arguments.raw && (arguments.pattern.size() < 5 || arguments.pattern.rfind(".png") != arguments.pattern.size() - 4))
    return *error = "-o must name .png files (or give --raw for raw frames)", false;
  if (!arguments.roi.empty()) {
    kscam::Region window;
    if (!kscam::ParseRegionText(arguments.roi, &window)) return *error = "--roi wants x,y,w,h", false;
    region->window = window;
  }
  region->subsample = arguments.subsample;
  return true;
}

// A region for one capture only: the one in force comes back when the
// capture ends, however it ends, so that the driver (which stores the region
// when the filter closes) does not keep it as the camera's setting.
class TemporaryRegion {
 public:
  explicit TemporaryRegion(kscam::CameraControls& controls) : controls_(controls) {}
  ~TemporaryRegion() {
    if (applied_) controls_.SetRegion(saved_);
  }
  TemporaryRegion(const TemporaryRegion&) = delete;
  TemporaryRegion& operator=(const TemporaryRegion&) = delete;

  // Prints what the camera made of the request; false with one line if refused.
  bool Apply(const kscam::RegionRequest& request, std::string* error) {
    NTSTATUS status = controls_.GetRegion(&saved_);
    if (!NT_SUCCESS(status)) return *error = "the camera did not answer: " + kscam::StatusText(status), false;
    applied_ = true;
    std::vector<std::string> report;
    status = kscam::ApplyRegion(controls_, request, &report);
    if (!NT_SUCCESS(status)) return *error = "value refused: roi: " + kscam::StatusText(status), false;
    for (const std::string& line : report) printf("%s\n", line.c_str());
    return true;
  }

 private:
  kscam::CameraControls& controls_;
  kscam::Region saved_;
  bool applied_ = false;
};

// Runs with the camera's filter open; the pin lives only inside.
bool CaptureWithSession(const CaptureArguments& arguments, kscam::CameraSession& session, std::string* error) {
  CaptureSetup setup;
  if (!Prepare(session, &setup, error)) return false;
  session.rig->Tap().Arm(arguments.raw ? kQueuedFrames : 0);
  Capture capture(arguments, session, setup);
  bool captured = capture.Run(error);
  // The pin goes before the region can be put back: the camera refuses a
  // new region while a capture pin exists.
  session.client->ClosePin();
  session.rig->Tap().Disarm();
  if (captured) capture.PrintSummary();
  return captured;
}

int RunCapture(const CaptureArguments& arguments) {
  const char* name = arguments.command;
  kscam::RegionRequest region;
  std::string error;
  if (!CheckArguments(arguments, &region, &error)) return ReportFailure(name, error, kExitUsage);
  kscam::ClientOptions options;
  options.buffers = kClientBuffers;
  options.topDown = true;
  options.pullQueueDepth = kQueuedFrames;
  kscam::CameraSession session;
  if (!kscam::OpenCameraSession(arguments.camera, options, &session, &error)) return ReportFailure(name, error);
  bool captured;
  {
    TemporaryRegion temporary(*session.controls);
    captured = (region.Empty() || temporary.Apply(region, &error)) && CaptureWithSession(arguments, session, &error);
  }
  return captured ? 0 : ReportFailure(name, error);
}

void AddCommonOptions(CLI::App& command, CaptureArguments* arguments) {
  kscam::AddCameraOptions(command, &arguments->camera);
  command.add_option("-o,--output", arguments->pattern, "file name; '#' becomes the frame's sequence number");
  command.add_flag("--raw", arguments->raw, "raw frames as the camera sent them, each with a JSON sidecar");
  command.add_flag("--metadata", arguments->metadata, "one line per frame: sequence, time stamp, exposure, gain");
  command.add_option("--roi", arguments->roi, "sensor window x,y,w,h for this capture");
  command.add_option_function<int32_t>(
             "--subsample", [arguments](const int32_t& mode) { arguments->subsample = mode; },
             "subsampling mode for this capture: 1, 2, 3 give 1280x960, 640x480, 320x240")
      ->check(CLI::Range(0, 3));
}

}  // namespace

CommandRunner DefineCapture(CLI::App& command) {
  auto arguments = std::make_shared<CaptureArguments>();
  AddCommonOptions(command, arguments.get());
  CLI::Option* count = command.add_option("-n,--frames", arguments->frames, "frames to capture (default 10)")
                           ->check(CLI::Range(1u, 1000000u));
  command.add_option("--duration", arguments->seconds, "capture for this many seconds instead")
      ->check(CLI::Range(0.001, 86400.0))
      ->excludes(count);
  return [arguments] {
    CaptureArguments run = *arguments;
    if (run.pattern.empty()) run.pattern = run.raw ? "frame-#.raw" : "frame-#.png";
    return RunCapture(run);
  };
}

CommandRunner DefineSnap(CLI::App& command) {
  auto arguments = std::make_shared<CaptureArguments>();
  arguments->command = "snap";
  arguments->frames = 1;
  AddCommonOptions(command, arguments.get());
  return [arguments] {
    CaptureArguments run = *arguments;
    if (run.pattern.empty()) run.pattern = run.raw ? "snap.raw" : "snap.png";
    return RunCapture(run);
  };
}
