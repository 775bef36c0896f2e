// The picture the page shows: one encoder thread shrinks and JPEG-encodes the
// camera's frames, no faster than the display rate and only while somebody
// watches, and every viewer's connection sends the newest picture.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/view/frame_exchange.h"

namespace kscam::view {

struct DisplayOptions {
  int maxWidth = 640;     // wider frames are shrunk by a whole factor to fit
  int jpegQuality = 80;
  double maxFps = 15;     // pictures encoded per second at most
  int maxViewers = 4;     // streams at once; each holds a server thread
};

struct DisplayPicture {
  uint64_t sequence = 0;  // 1, 2, 3, … in the order encoded
  int width = 0;
  int height = 0;
  std::string jpeg;
};

class DisplayStream {
 public:
  DisplayStream(FrameExchange& frames, const DisplayOptions& options);
  ~DisplayStream();  // stops
  DisplayStream(const DisplayStream&) = delete;
  DisplayStream& operator=(const DisplayStream&) = delete;

  void Start();
  // Ends the encoder and every wait for a picture.
  void Stop();

  // False when maxViewers already watch (or the stream has stopped).
  bool AddViewer();
  bool Running();
  void RemoveViewer();
  int Viewers();

  // The newest picture once it is newer than `after`; null when none came in
  // time or the stream stopped.
  std::shared_ptr<const DisplayPicture> WaitForPicture(uint64_t after, std::chrono::milliseconds timeout);
  uint64_t PicturesEncoded();
  uint64_t EncodeFailures();

 private:
  void EncodeLoop();
  bool WaitForViewers();
  void Publish(std::shared_ptr<DisplayPicture> picture);
  void PaceUntil(std::chrono::steady_clock::time_point due);

  FrameExchange& frames_;
  const DisplayOptions options_;
  std::thread encoder_;

  std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  std::shared_ptr<const DisplayPicture> picture_;
  uint64_t encoded_ = 0;
  uint64_t failures_ = 0;
  int viewers_ = 0;
  bool stopping_ = false;
};

}  // namespace kscam::view
