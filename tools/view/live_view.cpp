// The live view's HTTP side: routes, JSON answers and the picture stream.
#include "tools/view/live_view.h"

#include <httplib.h>
#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/client/status_text.h"
#include "tools/view/control_api.h"
#include "tools/view/display_image.h"
#include "tools/view/display_stream.h"
#include "tools/view/embedded_assets.h"
#include "tools/view/live_camera.h"

namespace kscam {

namespace {

using nlohmann::json;
using view::ParsedValue;

constexpr const char* kJson = "application/json";
constexpr const char* kBoundary = "kscamframe";
// How long a viewer's connection waits for a picture before it looks again
// whether its browser went away or the server stops.
constexpr std::chrono::milliseconds kPictureWait(250);
constexpr std::chrono::seconds kSnapshotWait(5);
// Threads for requests other than the streams, which each hold one.
constexpr int kRequestThreads = 6;
constexpr size_t kLargestBody = 64 * 1024;

void Answer(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_header("Cache-Control", "no-store");
  response.set_content(body.dump(), kJson);
}

void Refuse(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content(view::ErrorBody(message), kJson);
}

// The camera or the driver failed a request that was well formed.
void CameraFailure(httplib::Response& response, NTSTATUS status) {
  Refuse(response, 502, "the camera failed the request: " + StatusText(status));
}

const char* ReasonFor(int status) {
  switch (status) {
    case 400: return "the request is malformed";
    case 404: return "there is nothing at this path";
    case 405: return "this path does not take that method";
    case 413: return "the request body is too large";
    default: return "the request failed";
  }
}

}  // namespace

struct LiveViewServer::State {
  State(CameraSystem& system, const LiveViewOptions& options)
      : options(options),
        camera(system),
        display(camera.Frames(), view::DisplayOptions{options.displayWidth, options.jpegQuality, options.displayFps,
                                                      options.maxViewers}) {}

  void Route();
  void Serve(const view::Asset& asset);
  void GetControls(httplib::Response& response);
  void GetControl(const std::string& name, httplib::Response& response);
  void PutControl(const std::string& name, const std::string& body, httplib::Response& response);
  void PutRegionControl(const ControlInfo& control, int32_t value, httplib::Response& response);
  void ResetControls(httplib::Response& response);
  void GetRegion(httplib::Response& response);
  void PutRegion(const std::string& body, httplib::Response& response);
  void ChangeRegion(const Region& wanted, json answer, httplib::Response& response);
  void GetStats(httplib::Response& response);
  void Snapshot(httplib::Response& response);
  void Stream(httplib::Response& response);
  bool Find(const std::string& name, ControlInfo* control, httplib::Response& response);

  const LiveViewOptions options;
  view::LiveCamera camera;
  view::DisplayStream display;
  httplib::Server http;
  std::thread listener;
  int port = 0;
  std::atomic<bool> listenerEnded{false};  // the listener thread returned from httplib
  bool running = false;  // between a successful Start and Stop; touched only by their caller
  bool started = false;  // Start got as far as routing: a server serves once
};

void LiveViewServer::State::Route() {
  for (size_t i = 0; i < view::kAssetCount; ++i) Serve(view::kAssets[i]);
  http.Get("/stream", [this](const httplib::Request&, httplib::Response& response) { Stream(response); });
  http.Get("/snapshot.png", [this](const httplib::Request&, httplib::Response& response) { Snapshot(response); });
  http.Get("/api/controls", [this](const httplib::Request&, httplib::Response& response) { GetControls(response); });
  http.Post("/api/controls/reset",
            [this](const httplib::Request&, httplib::Response& response) { ResetControls(response); });
  http.Get(R"(/api/controls/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
    GetControl(request.matches[1], response);
  });
  http.Put(R"(/api/controls/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
    PutControl(request.matches[1], request.body, response);
  });
  http.Get("/api/region", [this](const httplib::Request&, httplib::Response& response) { GetRegion(response); });
  http.Put("/api/region", [this](const httplib::Request& request, httplib::Response& response) {
    PutRegion(request.body, response);
  });
  http.Get("/api/stats", [this](const httplib::Request&, httplib::Response& response) { GetStats(response); });
  // Every refusal carries a sentence, also those httplib makes itself.
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) response.set_content(view::ErrorBody(ReasonFor(response.status)), kJson);
  });
  http.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    Refuse(response, 500, "the server failed while answering");
  });
}

void LiveViewServer::State::Serve(const view::Asset& asset) {
  http.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& response) {
    response.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.contentType);
  });
}

bool LiveViewServer::State::Find(const std::string& name, ControlInfo* control, httplib::Response& response) {
  std::vector<ControlInfo> controls;
  NTSTATUS status = camera.ListControls(&controls);
  if (!NT_SUCCESS(status)) {
    CameraFailure(response, status);
    return false;
  }
  for (const ControlInfo& candidate : controls)
    if (candidate.name == name) {
      *control = candidate;
      return true;
    }
  Refuse(response, 404, "there is no control named \"" + name + "\"");
  return false;
}

void LiveViewServer::State::GetControls(httplib::Response& response) {
  std::vector<ControlInfo> controls;
  NTSTATUS status = camera.ListControls(&controls);
  if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  json list = json::array();
  for (const ControlInfo& control : controls) list.push_back(view::ControlJson(control));
  Answer(response, 200, json{{"controls", list}});
}

void LiveViewServer::State::GetControl(const std::string& name, httplib::Response& response) {
  ControlInfo control;
  if (Find(name, &control, response)) Answer(response, 200, view::ControlJson(control));
}

void LiveViewServer::State::PutControl(const std::string& name, const std::string& body,
                                       httplib::Response& response) {
  ControlInfo control;
  if (!Find(name, &control, response)) return;
  if (control.readOnly && !control.refusedWhilePinOpen)
    return Refuse(response, 403, "\"" + name + "\" is read-only");
  ParsedValue parsed = view::ParseControlValue(body, control);
  if (parsed.status != 200) return Refuse(response, parsed.status, parsed.error);
  if (control.refusedWhilePinOpen) return PutRegionControl(control, parsed.value, response);
  int32_t kept = 0;
  NTSTATUS status = camera.SetControl(name, parsed.value, &kept);
  if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  Answer(response, 200,
         json{{"name", name}, {"requested", parsed.value}, {"value", kept}, {"clamped", kept != parsed.value}});
}

// A region control is one field of the region, which only a restart of the
// pin can change.
void LiveViewServer::State::PutRegionControl(const ControlInfo& control, int32_t value,
                                             httplib::Response& response) {
  Region wanted;
  NTSTATUS status = camera.GetRegion(&wanted);
  if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  *view::RegionField(wanted, control.name) = value;
  ChangeRegion(wanted, json{{"name", control.name}, {"requested", value}}, response);
}

void LiveViewServer::State::ResetControls(httplib::Response& response) {
  std::vector<ControlInfo> controls;
  NTSTATUS status = camera.ListControls(&controls);
  if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  for (const ControlInfo& control : controls) {
    if (control.readOnly) continue;  // the region keeps its own reset on the page
    int32_t kept = 0;
    status = camera.SetControl(control.name, control.defaultValue, &kept);
    if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  }
  GetControls(response);
}

void LiveViewServer::State::GetRegion(httplib::Response& response) {
  Region region;
  NTSTATUS status = camera.GetRegion(&region);
  if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  Answer(response, 200, view::RegionJson(region));
}

void LiveViewServer::State::PutRegion(const std::string& body, httplib::Response& response) {
  Region current;
  NTSTATUS status = camera.GetRegion(&current);
  if (!NT_SUCCESS(status)) return CameraFailure(response, status);
  Region wanted;
  ParsedValue parsed = view::ParseRegion(body, current, &wanted);
  if (parsed.status != 200) return Refuse(response, parsed.status, parsed.error);
  ChangeRegion(wanted, json{{"requested", view::RegionJson(wanted)}}, response);
}

void LiveViewServer::State::ChangeRegion(const Region& wanted, json answer, httplib::Response& response) {
  Region kept;
  NTSTATUS status = camera.ChangeRegion(wanted, &kept);
  view::StreamStatus stream = camera.Status();
  if (!NT_SUCCESS(status))
    return Refuse(response, 502,
                  "the camera did not stream the new region (" + StatusText(status) + "); " +
                      (stream.streaming ? "the old one streams again" : "nor the old one: the stream has stopped"));
  answer["region"] = view::RegionJson(kept);
  if (answer.contains("name")) answer["value"] = *view::RegionField(kept, answer["name"].get<std::string>());
  answer["clamped"] = view::RegionJson(kept) != view::RegionJson(wanted);
  answer["restarted"] = true;
  answer["message"] = "The capture pin was stopped, the region set and the pin started again: now " +
                      std::to_string(stream.width) + " x " + std::to_string(stream.height) + " pixels.";
  Answer(response, 200, answer);
}

void LiveViewServer::State::GetStats(httplib::Response& response) {
  view::StreamStatus stream = camera.Status();
  Answer(response, 200,
         json{{"streaming", stream.streaming},
              {"fps", {{"measured", stream.measuredFps}, {"nominal", stream.nominalFps}}},
              {"frames", stream.frames},
              {"drops", stream.dropped},
              {"frame", {{"width", stream.width}, {"height", stream.height}}},
              {"restarts", stream.restarts},
              {"display",
               {{"pictures", display.PicturesEncoded()},
                {"failures", display.EncodeFailures()},
                {"viewers", display.Viewers()},
                {"maxViewers", options.maxViewers}}}});
}

void LiveViewServer::State::Snapshot(httplib::Response& response) {
  std::shared_ptr<const Frame> frame = camera.Frames().WaitForNext(kSnapshotWait);
  if (frame == nullptr) return Refuse(response, 503, "no frame came from the camera in time");
  std::string png, error;
  if (!view::FrameToPng(*frame, &png, &error)) return Refuse(response, 500, "the frame did not encode: " + error);
  response.set_header("Cache-Control", "no-store");
  response.set_content(png, "image/png");
}

void LiveViewServer::State::Stream(httplib::Response& response) {
  if (!display.AddViewer()) {
    response.set_header("Retry-After", "5");
    return Refuse(response, 503,
                  "already " + std::to_string(options.maxViewers) + " viewers watch; close one and try again");
  }
  response.set_header("Cache-Control", "no-store");
  uint64_t shown = 0;
  response.set_content_provider(
      std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
      [this, shown](size_t, httplib::DataSink& sink) mutable {
        std::shared_ptr<const view::DisplayPicture> picture = display.WaitForPicture(shown, kPictureWait);
        // Nothing new yet: the connection stays while its browser and the server do.
        if (picture == nullptr) return display.Running() && sink.is_writable();
        shown = picture->sequence;
        std::string head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                           std::to_string(picture->jpeg.size()) + "\r\n\r\n";
        return sink.write(head.data(), head.size()) && sink.write(picture->jpeg.data(), picture->jpeg.size()) &&
               sink.write("\r\n", 2);
      },
      [this](bool) { display.RemoveViewer(); });
}

LiveViewServer::LiveViewServer(CameraSystem& camera, const LiveViewOptions& options)
    : state_(std::make_unique<State>(camera, options)) {}

LiveViewServer::~LiveViewServer() { Stop(); }

bool LiveViewServer::Start(std::string* error) {
  State& s = *state_;
  if (s.running) return true;
  // httplib keeps its routes and its stopped state: a second life would
  // answer every request twice over or not at all.
  if (s.started) {
    *error = "this server has already served once";
    return false;
  }
  // A browser that goes away mid-picture must cost its connection, not the
  // process: writes to a closed socket fail instead of raising SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  NTSTATUS status = s.camera.Start();
  if (!NT_SUCCESS(status)) {
    *error = "the camera did not start streaming: " + StatusText(status);
    return false;
  }
  s.started = true;
  s.Route();
  const size_t threads = size_t(s.options.maxViewers > 0 ? s.options.maxViewers : 0) + kRequestThreads;
  s.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  s.http.set_keep_alive_timeout(2);
  s.http.set_read_timeout(5);
  s.http.set_write_timeout(5);
  s.http.set_payload_max_length(kLargestBody);
  // The loopback interface only: the page changes the camera, and nobody
  // but the person at this machine should.
  s.port = s.options.port == 0 ? s.http.bind_to_any_port("127.0.0.1")
                               : (s.http.bind_to_port("127.0.0.1", s.options.port) ? s.options.port : -1);
  if (s.port <= 0) {
    *error = "cannot listen on 127.0.0.1 port " + std::to_string(s.options.port);
    s.camera.Stop();
    return false;
  }
  s.display.Start();
  s.listener = std::thread([&s] {
    s.http.listen_after_bind();
    s.listenerEnded = true;
  });
  // httplib's stop does nothing before the listener runs: wait for it, or
  // for its end when it failed at once.
  while (!s.http.is_running() && !s.listenerEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s.running = true;
  return true;
}

int LiveViewServer::Port() const { return state_->port; }

void LiveViewServer::Stop() {
  State& s = *state_;
  if (!s.running) return;
  s.running = false;
  s.display.Stop();        // every stream's connection ends within one picture wait
  s.camera.Frames().Close();  // and every snapshot's wait for a frame
  s.http.stop();
  s.listener.join();
  s.camera.Stop();
}

namespace {

volatile sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int) { stopRequested = 1; }

}  // namespace

int RunLiveView(CameraSystem& camera, const LiveViewOptions& options) {
  // The handlers go in before the server starts, so that a signal sent as
  // soon as the address is printed is not lost.
  struct sigaction stop = {}, previousInterrupt = {}, previousTerminate = {};
  stop.sa_handler = RequestStop;
  sigemptyset(&stop.sa_mask);
  stopRequested = 0;
  sigaction(SIGINT, &stop, &previousInterrupt);
  sigaction(SIGTERM, &stop, &previousTerminate);
  LiveViewServer server(camera, options);
  std::string error;
  int exitStatus = 0;
  if (server.Start(&error)) {
    printf("kscam view: serving http://127.0.0.1:%d/ (Ctrl-C stops)\n", server.Port());
    fflush(stdout);
    while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Stop();
    printf("kscam view: stopped\n");
  } else {
    fprintf(stderr, "kscam view: %s\n", error.c_str());
    exitStatus = 1;
  }
  sigaction(SIGINT, &previousInterrupt, nullptr);
  sigaction(SIGTERM, &previousTerminate, nullptr);
  return exitStatus;
}

}  // namespace kscam
