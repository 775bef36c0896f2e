#include "fuzz/fuzz_camera.h"

#include <stdio.h>
#include <stdlib.h>

#include "platform/host_pool.h"
#include "platform/registry_host.h"

namespace fuzz {

namespace {

struct Started {
  std::unique_ptr<kscam::CameraSystem> system;
  std::unique_ptr<test::CaptureSession> session;
  std::vector<uint8_t> offeredFormat;
};

// Never destroyed: at exit the main thread's per-thread platform state goes
// before static objects, and a camera stopped after that would complete its
// requests to a thread that no longer has anywhere to queue them.
Started& Setup() {
  static Started& started = *new Started([] {
    host::UseRegistryFile("");
    sim::CameraOptions options;
    options.bridge = sim::BridgeModel::CommandModel;
    Started s;
    s.system = std::make_unique<kscam::CameraSystem>(options);
    // Control and OUT requests complete in the caller's call, as they may on
    // the platform: the inputs' exchanges take less time that way, and the
    // asynchronous path has tests of its own.
    s.system->Bus().SetSynchronousCompletion(true);
    NTSTATUS status = s.system->BringUp();
    if (status != STATUS_SUCCESS) {
      fprintf(stderr, "fuzz: the camera did not start (0x%08x)\n", unsigned(status));
      abort();
    }
    s.session = std::make_unique<test::CaptureSession>(*s.system);
    status = s.session->OpenFilter();
    s.offeredFormat = s.session->OfferedFormat();
    if (status != STATUS_SUCCESS || s.offeredFormat.empty()) {
      fprintf(stderr, "fuzz: no filter or no format (0x%08x)\n", unsigned(status));
      abort();
    }
    return s;
  }());
  return started;
}

}  // namespace

kscam::CameraSystem& Camera() { return *Setup().system; }
test::CaptureSession& Session() { return *Setup().session; }
PKSFILTER Filter() { return Setup().session->Filter(); }
const std::vector<uint8_t>& OfferedFormat() { return Setup().offeredFormat; }

std::vector<uint8_t> OfferedRanges() {
  host::KsDeviceHost& device = Camera().KsDevice();
  ULONG needed = 0;
  device.PinDataRanges(Filter(), 0, nullptr, 0, &needed);
  std::vector<uint8_t> ranges(needed);
  if (!NT_SUCCESS(device.PinDataRanges(Filter(), 0, ranges.data(), needed, &needed))) abort();
  return ranges;
}

uint32_t InputReader::Take(size_t bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < bytes; ++i, ++at_)
    if (at_ < size_) value |= uint32_t(data_[at_]) << (8 * i);
  if (at_ > size_) at_ = size_;
  return value;
}

std::vector<uint8_t> InputReader::Rest() {
  std::vector<uint8_t> rest(data_ + at_, data_ + size_);
  at_ = size_;
  return rest;
}

// The camera is started first, so that its own allocations on the first input
// are not taken for the input's.
PoolBalance::PoolBalance(const char* what) : what_(what) {
  Setup();
  before_ = host::PoolLiveAllocations();
}

PoolBalance::~PoolBalance() {
  uint64_t after = host::PoolLiveAllocations();
  if (after == before_) return;
  fprintf(stderr, "fuzz: %s left %lld pool allocations behind\n", what_, (long long)(after - before_));
  abort();
}

}  // namespace fuzz
