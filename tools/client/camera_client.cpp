// The client library: enumeration, negotiation, the pin's life, and the
// client's frame buffers going round between the application and the pin.
#include "tools/client/camera_client.h"

#include <string.h>

namespace kscam {

namespace {

constexpr size_t kVideoFormatBytes = sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);

// What a caller needs of a KSDATAFORMAT + KS_VIDEOINFOHEADER; a format too
// short for its header, or with sizes that do not fit 32 bits, is refused.
NTSTATUS ParseFormat(const std::vector<uint8_t>& bytes, VideoFormat* format) {
  if (bytes.size() < kVideoFormatBytes) return STATUS_INVALID_PARAMETER;
  KSDATAFORMAT header;
  KS_VIDEOINFOHEADER info;
  memcpy(&header, bytes.data(), sizeof(header));
  memcpy(&info, bytes.data() + sizeof(header), sizeof(info));
  if (header.FormatSize < kVideoFormatBytes || header.FormatSize > bytes.size()) return STATUS_INVALID_PARAMETER;
  const KS_BITMAPINFOHEADER& bitmap = info.bmiHeader;
  if (bitmap.biWidth <= 0 || bitmap.biHeight == 0 || bitmap.biHeight == INT32_MIN || bitmap.biBitCount == 0)
    return STATUS_INVALID_PARAMETER;
  uint64_t stride = ((uint64_t(bitmap.biWidth) * bitmap.biBitCount + 31) / 32) * 4;
  uint64_t rows = bitmap.biHeight < 0 ? uint64_t(-int64_t(bitmap.biHeight)) : uint64_t(bitmap.biHeight);
  if (stride * rows > 0xFFFFFFFFu || bitmap.biSizeImage == 0) return STATUS_INVALID_PARAMETER;
  format->bytes.assign(bytes.begin(), bytes.begin() + header.FormatSize);
  format->width = bitmap.biWidth;
  format->height = bitmap.biHeight;
  format->bitCount = bitmap.biBitCount;
  format->imageBytes = bitmap.biSizeImage;
  format->stride = ULONG(stride);
  format->frameInterval = info.AvgTimePerFrame;
  return STATUS_SUCCESS;
}

}  // namespace

void CopyRowsReversed(const uint8_t* source, size_t stride, size_t rows, uint8_t* destination) {
  for (size_t row = 0; row < rows; ++row) memcpy(destination + row * stride, source + (rows - 1 - row) * stride, stride);
}

std::vector<CameraEntry> EnumerateCameras(const std::vector<CameraSystem*>& systems) {
  std::vector<CameraEntry> cameras;
  for (CameraSystem* system : systems)
    if (system != nullptr && system->Ready()) cameras.push_back(CameraEntry{cameras.size(), system});
  return cameras;
}

struct CameraClient::Buffer {
  std::vector<uint8_t> data;
  bool queued = false;  // with the pin; guarded by the client's lock_
};

CameraClient::CameraClient(CameraSystem& camera, ClientOptions options)
    : camera_(camera), options_(std::move(options)) {}

CameraClient::~CameraClient() { Close(); }

NTSTATUS CameraClient::Open() {
  if (stage_ != Stage::Closed) return STATUS_INVALID_DEVICE_STATE;
  if (!camera_.Ready()) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status;
  filter_ = Device().OpenFilter(&status);
  if (filter_ == nullptr) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  stage_ = Stage::FilterOpen;
  return STATUS_SUCCESS;
}

// The capture pin is the filter's pin 0.
NTSTATUS CameraClient::ReadDataRange(KS_DATARANGE_VIDEO* range) {
  if (stage_ == Stage::Closed) return STATUS_INVALID_DEVICE_STATE;
  ULONG size = 0;
  NTSTATUS status = Device().PinDataRanges(filter_, 0, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::vector<uint8_t> list(size);
  status = Device().PinDataRanges(filter_, 0, list.data(), size, &size);
  if (!NT_SUCCESS(status)) return status;
  KSMULTIPLE_ITEM header;
  memcpy(&header, list.data(), sizeof(header));
  KSDATARANGE first;
  if (header.Count == 0 || size < sizeof(header) + sizeof(first)) return STATUS_NO_MATCH;
  memcpy(&first, list.data() + sizeof(header), sizeof(first));
  if (first.FormatSize < sizeof(KS_DATARANGE_VIDEO) || size - sizeof(header) < sizeof(KS_DATARANGE_VIDEO))
    return STATUS_NO_MATCH;  // not a video range
  memcpy(range, list.data() + sizeof(header), sizeof(*range));
  return STATUS_SUCCESS;
}

NTSTATUS CameraClient::Negotiate(VideoFormat* format) {
  if (stage_ == Stage::Closed) return STATUS_INVALID_DEVICE_STATE;
  KS_DATARANGE_VIDEO range;
  NTSTATUS status = ReadDataRange(&range);
  if (!NT_SUCCESS(status)) return status;
  // The request: the property naming pin 0, then a list of the one range.
  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  KSMULTIPLE_ITEM list{ULONG(sizeof(KSMULTIPLE_ITEM) + sizeof(range)), 1};
  std::vector<uint8_t> request(sizeof(property) + sizeof(list) + sizeof(range));
  memcpy(request.data(), &property, sizeof(property));
  memcpy(request.data() + sizeof(property), &list, sizeof(list));
  memcpy(request.data() + sizeof(property) + sizeof(list), &range, sizeof(range));
  ULONG size = 0;
  status = Device().PinDataIntersection(filter_, request.data(), ULONG(request.size()), nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::vector<uint8_t> bytes(size);
  status = Device().PinDataIntersection(filter_, request.data(), ULONG(request.size()), bytes.data(), size, &size);
  if (!NT_SUCCESS(status)) return status;
  bytes.resize(size);
  return ParseFormat(bytes, format);
}

NTSTATUS CameraClient::CreatePin(const VideoFormat& format) {
  if (stage_ != Stage::FilterOpen) return STATUS_INVALID_DEVICE_STATE;
  if (options_.buffers < 1 || options_.buffers > kMaxBuffers) return STATUS_INVALID_PARAMETER;
  VideoFormat parsed;
  NTSTATUS status = ParseFormat(format.bytes, &parsed);
  if (!NT_SUCCESS(status)) return status;
  PKSPIN pin = Device().CreatePin(filter_, 0, parsed.bytes.data(), ULONG(parsed.bytes.size()), &status);
  if (pin == nullptr) return status;
  if (options_.masterClock) {
    status = Device().SetPinClock(pin, true);
    if (!NT_SUCCESS(status)) {
      Device().ClosePin(pin);
      return status;
    }
  }
  pin_ = pin;
  format_ = parsed;
  state_ = KSSTATE_STOP;
  std::lock_guard<std::mutex> guard(lock_);
  buffers_.clear();
  for (int i = 0; i < options_.buffers; ++i) {
    auto buffer = std::make_unique<Buffer>();
    buffer->data.resize(parsed.imageBytes);
    buffers_.push_back(std::move(buffer));
  }
  sequence_ = 0;
  dropped_ = 0;
  pulled_.clear();
  stage_ = Stage::PinCreated;
  return STATUS_SUCCESS;
}

NTSTATUS CameraClient::Connect(VideoFormat* format) {
  VideoFormat negotiated;
  NTSTATUS status = Open();
  if (NT_SUCCESS(status)) status = Negotiate(&negotiated);
  if (NT_SUCCESS(status)) status = CreatePin(negotiated);
  if (NT_SUCCESS(status) && format != nullptr) *format = negotiated;
  return status;
}

NTSTATUS CameraClient::QueueBuffer(Buffer* buffer) {
  NTSTATUS status = Device().QueueFrame(
      pin_, buffer->data.data(), ULONG(buffer->data.size()),
      [this, buffer](const host::FrameCompletion& completion) { Completed(buffer, completion); }, buffer);
  if (status != STATUS_PENDING) {
    std::lock_guard<std::mutex> guard(lock_);
    buffer->queued = false;
  }
  return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

// Gives the pin every buffer it does not hold. The pin must be past STOP.
NTSTATUS CameraClient::QueueIdleBuffers() {
  std::vector<Buffer*> idle;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& buffer : buffers_)
      if (!buffer->queued) {
        buffer->queued = true;
        idle.push_back(buffer.get());
      }
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (Buffer* buffer : idle) {
    NTSTATUS status = QueueBuffer(buffer);
    if (!NT_SUCCESS(status)) result = status;
  }
  return result;
}

NTSTATUS CameraClient::Run() {
  if (stage_ != Stage::PinCreated) return STATUS_INVALID_DEVICE_STATE;
  if (state_ == KSSTATE_RUN) return STATUS_SUCCESS;
  NTSTATUS status = Pause();
  if (!NT_SUCCESS(status)) return status;
  status = Device().SetPinState(pin_, KSSTATE_RUN);
  state_ = NT_SUCCESS(status) ? KSSTATE_RUN : CurrentPinState();
  return status;
}

NTSTATUS CameraClient::Pause() {
  if (stage_ != Stage::PinCreated) return STATUS_INVALID_DEVICE_STATE;
  if (state_ == KSSTATE_PAUSE) return STATUS_SUCCESS;
  NTSTATUS status = Device().SetPinState(pin_, KSSTATE_PAUSE);
  if (!NT_SUCCESS(status)) {
    state_ = CurrentPinState();
    return status;
  }
  bool fromStop = state_ == KSSTATE_STOP;
  state_ = KSSTATE_PAUSE;
  if (!fromStop) return STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = true;
  }
  return QueueIdleBuffers();
}

// Where a failed walk left the pin, as the connection-state property tells.
KSSTATE CameraClient::CurrentPinState() const { return pin_->DeviceState; }

NTSTATUS CameraClient::Stop() {
  if (stage_ != Stage::PinCreated) return STATUS_INVALID_DEVICE_STATE;
  {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = false;
  }
  // The class driver returns every queued buffer (cancelled) before the
  // pin reaches STOP.
  NTSTATUS status = Device().SetPinState(pin_, KSSTATE_STOP);
  state_ = NT_SUCCESS(status) ? KSSTATE_STOP : CurrentPinState();
  return status;
}

void CameraClient::ClosePin() {
  if (stage_ != Stage::PinCreated) return;
  Stop();
  Device().ClosePin(pin_);
  pin_ = nullptr;
  stage_ = Stage::FilterOpen;
  std::lock_guard<std::mutex> guard(lock_);
  buffers_.clear();
  pulled_.clear();
  changed_.notify_all();
}

void CameraClient::Close() {
  ClosePin();
  if (stage_ != Stage::Closed) Device().CloseFilter(filter_);
  filter_ = nullptr;
  stage_ = Stage::Closed;
}

Frame CameraClient::MakeFrame(const Buffer& buffer, const KSSTREAM_HEADER& header, uint64_t sequence) const {
  Frame frame;
  frame.sequence = sequence;
  frame.timeValid = (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  frame.time = header.PresentationTime.Time;
  frame.width = format_.width;
  frame.height = format_.height < 0 ? -format_.height : format_.height;
  frame.stride = format_.stride;
  frame.dataUsed = header.DataUsed < buffer.data.size() ? header.DataUsed : ULONG(buffer.data.size());
  frame.topDown = format_.height < 0;
  const uint8_t* source = buffer.data.data();
  if (!options_.topDown || frame.topDown) {
    frame.pixels.assign(source, source + frame.dataUsed);
    return frame;
  }
  // Bottom-up to top-down: the last whole row delivered comes first.
  size_t rows = frame.stride == 0 ? 0 : frame.dataUsed / frame.stride;
  if (rows > size_t(frame.height)) rows = size_t(frame.height);
  frame.pixels.resize(rows * frame.stride);
  CopyRowsReversed(source, frame.stride, rows, frame.pixels.data());
  frame.dataUsed = ULONG(frame.pixels.size());
  frame.topDown = true;
  return frame;
}

// Runs on the pin's completion thread, one buffer at a time, in order.
void CameraClient::Completed(Buffer* buffer, const host::FrameCompletion& completion) {
  if (completion.status == STATUS_SUCCESS) {
    uint64_t sequence;
    {
      std::lock_guard<std::mutex> guard(lock_);
      sequence = sequence_++;
    }
    Frame frame = MakeFrame(*buffer, completion.header, sequence);
    if (options_.callback) {
      options_.callback(frame);
    } else {
      std::lock_guard<std::mutex> guard(lock_);
      pulled_.push_back(std::move(frame));
      while (pulled_.size() > options_.pullQueueDepth) {
        pulled_.pop_front();
        ++dropped_;
      }
      changed_.notify_all();
    }
  }
  bool requeue;
  {
    std::lock_guard<std::mutex> guard(lock_);
    requeue = running_ && completion.status == STATUS_SUCCESS;
    buffer->queued = requeue;
  }
  if (requeue) QueueBuffer(buffer);
}

NTSTATUS CameraClient::NextFrame(Frame* frame, std::chrono::milliseconds timeout) {
  if (stage_ != Stage::PinCreated || options_.callback) return STATUS_INVALID_DEVICE_STATE;
  std::unique_lock<std::mutex> guard(lock_);
  if (!changed_.wait_for(guard, timeout, [this] { return !pulled_.empty(); })) return STATUS_TIMEOUT;
  *frame = std::move(pulled_.front());
  pulled_.pop_front();
  return STATUS_SUCCESS;
}

uint64_t CameraClient::FramesDelivered() {
  std::lock_guard<std::mutex> guard(lock_);
  return sequence_;
}

uint64_t CameraClient::FramesDropped() {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped_;
}

}  // namespace kscam
