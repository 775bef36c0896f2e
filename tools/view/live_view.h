// kscam view: a small HTTP server on the loopback interface with a page that
// shows the camera's live picture and offers every control as a widget.
//
//   GET  /                      the page (and its /view.css, /view.js)
//   GET  /stream                multipart/x-mixed-replace JPEG pictures, shrunk for display
//   GET  /snapshot.png          the next full-size frame
//   GET  /api/controls          every control: name, type, range, step, default, value, flags
//   GET  /api/controls/NAME     one of them
//   PUT  /api/controls/NAME     a JSON value; answers with the value the driver kept
//   POST /api/controls/reset    every adjustable control back to its default
//   GET  /api/region            the sensor window and subsampling
//   PUT  /api/region            a new window: the pin is stopped, the region set, the pin run again
//   GET  /api/stats             frame rates (measured, nominal, display), drops, frame size
#pragma once

#include <memory>
#include <string>

#include "tools/client/camera_system.h"

namespace kscam {

struct LiveViewOptions {
  int port = 8080;          // on 127.0.0.1; 0 takes any free port
  int displayWidth = 640;   // /stream shrinks wider frames by a whole factor
  int jpegQuality = 80;     // 1 to 100
  double displayFps = 15;   // pictures sent per second at most
  int maxViewers = 4;       // /stream connections at once; more get 503
};

class LiveViewServer {
 public:
  // The camera must be started (CameraSystem::Ready) before Start.
  LiveViewServer(CameraSystem& camera, const LiveViewOptions& options);
  ~LiveViewServer();  // stops
  LiveViewServer(const LiveViewServer&) = delete;
  LiveViewServer& operator=(const LiveViewServer&) = delete;

  // Runs the capture pin and serves from a thread of its own; false with the
  // reason in *error when the camera or the port cannot be had. A server
  // serves once: a Start after a Stop or a failed Start is refused.
  bool Start(std::string* error);
  int Port() const;
  // Ends every stream, stops serving and closes the pin. Callable from any
  // thread but the server's own.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Serves until SIGINT or SIGTERM, then stops cleanly. Prints the address on
// stdout once serving. Returns the process exit status: 0 after a signal, 1
// when the server could not start.
int RunLiveView(CameraSystem& camera, const LiveViewOptions& options);

}  // namespace kscam
