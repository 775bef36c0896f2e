#include "tools/view/display_stream.h"

#include "tools/view/display_image.h"

namespace kscam::view {

namespace {
// How long the encoder waits for a frame before it looks again whether it
// should stop or whether anybody still watches.
constexpr std::chrono::milliseconds kFrameWait(200);
}  // namespace

DisplayStream::DisplayStream(FrameExchange& frames, const DisplayOptions& options)
    : frames_(frames), options_(options) {}

DisplayStream::~DisplayStream() { Stop(); }

void DisplayStream::Start() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = false;
  }
  encoder_ = std::thread([this] { EncodeLoop(); });
}

void DisplayStream::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (encoder_.joinable()) encoder_.join();
}

bool DisplayStream::AddViewer() {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_ || viewers_ >= options_.maxViewers) return false;
  ++viewers_;
  changed_.notify_all();
  return true;
}

void DisplayStream::RemoveViewer() {
  std::lock_guard<std::mutex> guard(lock_);
  --viewers_;
}

bool DisplayStream::Running() {
  std::lock_guard<std::mutex> guard(lock_);
  return !stopping_;
}

int DisplayStream::Viewers() {
  std::lock_guard<std::mutex> guard(lock_);
  return viewers_;
}

std::shared_ptr<const DisplayPicture> DisplayStream::WaitForPicture(uint64_t after,
                                                                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  auto newer = [&] { return stopping_ || (picture_ != nullptr && picture_->sequence > after); };
  if (!changed_.wait_for(guard, timeout, newer) || stopping_) return nullptr;
  return picture_;
}

uint64_t DisplayStream::PicturesEncoded() {
  std::lock_guard<std::mutex> guard(lock_);
  return encoded_;
}

uint64_t DisplayStream::EncodeFailures() {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_;
}

// True once somebody watches, false when the stream stops.
bool DisplayStream::WaitForViewers() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return stopping_ || viewers_ > 0; });
  return !stopping_;
}

void DisplayStream::Publish(std::shared_ptr<DisplayPicture> picture) {
  std::lock_guard<std::mutex> guard(lock_);
  if (picture == nullptr) {
    ++failures_;
    return;
  }
  picture->sequence = ++encoded_;
  picture_ = std::move(picture);
  changed_.notify_all();
}

void DisplayStream::PaceUntil(std::chrono::steady_clock::time_point due) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait_until(guard, due, [this] { return stopping_; });
}

void DisplayStream::EncodeLoop() {
  JpegEncoder encoder;
  const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.maxFps > 0 ? 1.0 / options_.maxFps : 0));
  while (WaitForViewers()) {
    std::shared_ptr<const Frame> frame = frames_.WaitForNext(kFrameWait);
    if (frame == nullptr) continue;
    auto began = std::chrono::steady_clock::now();
    DisplayImage image;
    auto picture = std::make_shared<DisplayPicture>();
    std::string error;
    bool made = ShrinkForDisplay(*frame, options_.maxWidth, &image) &&
                encoder.Encode(image, options_.jpegQuality, &picture->jpeg, &error);
    picture->width = image.width;
    picture->height = image.height;
    Publish(made ? std::move(picture) : nullptr);
    PaceUntil(began + interval);
  }
}

}  // namespace kscam::view
