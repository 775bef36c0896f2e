// The test rig's side of the kernel-streaming class driver: load a
// minidriver, take one device through add, start, stop and removal as the
// plug-and-play manager and the class driver would, and open its filters.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ks.h"

namespace host {

class KsDeviceHost;
struct PinObject;

// A client frame coming back, as a completed read request would: status
// STATUS_SUCCESS with the minidriver's stream header (Data is the client's
// buffer, which holds the whole extent as the minidriver left it; DataUsed
// says how much is the frame), or STATUS_CANCELLED when the pin stopped
// before the frame was filled.
struct FrameCompletion {
  NTSTATUS status;
  KSSTREAM_HEADER header;
  void* context;  // as given to QueueFrame
};
// Runs on the pin's completion thread, one frame at a time. It may queue
// frames again but must not change the pin's state, format or clock, nor
// close it.
using FrameCompletionRoutine = std::function<void(const FrameCompletion&)>;

// The minidriver's pin callbacks as the class driver timed them.
struct CallbackTiming {
  uint64_t calls = 0;
  uint64_t slowCalls = 0;  // longer than kSlowCallbackNs
  uint64_t longestNs = 0;
};

class KsClassDriver {
 public:
  KsClassDriver();
  ~KsClassDriver();
  KsClassDriver(const KsClassDriver&) = delete;
  KsClassDriver& operator=(const KsClassDriver&) = delete;

  // Calls the minidriver's entry point with its driver object.
  NTSTATUS Load(DRIVER_INITIALIZE* entry);
  // The descriptor the minidriver gave KsInitializeDriver, or null.
  const KSDEVICE_DESCRIPTOR* DeviceDescriptor() const { return descriptor_; }
  PDRIVER_OBJECT DriverObject() { return &driverObject_; }

  void SetDescriptor(const KSDEVICE_DESCRIPTOR* descriptor) { descriptor_ = descriptor; }

 private:
  DRIVER_OBJECT driverObject_{};
  const KSDEVICE_DESCRIPTOR* descriptor_ = nullptr;
};

struct FilterFactoryRecord {
  const KSFILTER_DESCRIPTOR* descriptor = nullptr;
  std::u16string referenceString;
  ULONG createItemFlags = 0;
  bool securityDescriptor = false;
  bool sleepCallback = false;
  bool wakeCallback = false;
  bool askedForFactory = false;
  bool deviceMutexHeld = false;  // whether the caller held the device mutex
};

class KsDeviceHost {
 public:
  KsDeviceHost(KsClassDriver& driver, PDEVICE_OBJECT physicalDevice);
  ~KsDeviceHost();  // removes the device if it is still there
  KsDeviceHost(const KsDeviceHost&) = delete;
  KsDeviceHost& operator=(const KsDeviceHost&) = delete;

  NTSTATUS Add();
  NTSTATUS Start();
  void Stop();
  // Empties the device's object bag (running the free routines) and forgets it.
  void Remove();

  PKSDEVICE Device() { return &device_; }
  bool Added() const { return added_; }
  std::vector<FilterFactoryRecord> FilterFactories();
  // Opens a filter of the newest factory; the status is the driver's Create result.
  PKSFILTER OpenFilter(NTSTATUS* status);
  NTSTATUS CloseFilter(PKSFILTER filter);
  // A client's KSPROPERTY_PIN_DATAINTERSECTION request on an open filter:
  // request holds the KSP_PIN and the KSMULTIPLE_ITEM of ranges, format
  // receives the data format (formatBytes 0 asks for its size). Each caller
  // range whose major format, subformat and specifier match one of the pin's
  // ranges goes to the pin's intersect handler until one gives anything but
  // STATUS_NO_MATCH. *information is the size written or needed.
  NTSTATUS PinDataIntersection(PKSFILTER filter, const void* request, ULONG requestBytes, void* format,
                               ULONG formatBytes, ULONG* information);
  // A client's KSPROPERTY_PIN_DATARANGES request: a KSMULTIPLE_ITEM and the
  // pin's ranges (from the filter's own descriptor), each 8-byte aligned.
  // bytes 0 asks for the size (STATUS_BUFFER_OVERFLOW); *information is the
  // size written or needed.
  NTSTATUS PinDataRanges(PKSFILTER filter, ULONG pinId, void* buffer, ULONG bytes, ULONG* information);

  // Pins, as a client's create request and the pin's property and stream
  // requests reach them. A pin is created in KSSTATE_STOP with the given
  // data format (formatBytes of the client's buffer); null and a status on
  // failure.
  PKSPIN CreatePin(PKSFILTER filter, ULONG pinId, const void* format, ULONG formatBytes, NTSTATUS* status);
  // A new connection format for an existing pin; the old one stays on failure.
  NTSTATUS SetPinFormat(PKSPIN pin, const void* format, ULONG formatBytes);
  // Walks the pin one neighbouring state at a time to state; the first
  // failing step ends the walk there and its status is returned.
  NTSTATUS SetPinState(PKSPIN pin, KSSTATE state);
  // Gives the pin the host's master clock (or takes it away); only when stopped.
  NTSTATUS SetPinClock(PKSPIN pin, bool hostClock);
  // Queues a client frame of frameExtent bytes at buffer; STATUS_PENDING
  // when queued, and done runs when it comes back.
  NTSTATUS QueueFrame(PKSPIN pin, void* buffer, ULONG frameExtent, FrameCompletionRoutine done, void* context);
  // Walks the pin down to STOP, calls its Close and frees it.
  NTSTATUS ClosePin(PKSPIN pin);
  size_t OpenPins();

  // Pin callbacks (data format, create, state changes, close) longer than
  // this are counted as slow.
  static constexpr uint64_t kSlowCallbackNs = 500'000'000;
  CallbackTiming PinCallbackTiming();
  void NoteCallbackDuration(uint64_t nanoseconds);

  // Used by the class driver calls.
  static KsDeviceHost* FromFunctionalDevice(PDEVICE_OBJECT device);
  NTSTATUS AddFilterFactory(const FilterFactoryRecord& record);
  std::recursive_mutex& DeviceMutex() { return deviceMutex_; }
  bool DeviceMutexHeldByCaller();
  void NoteMutexAcquired();
  void NoteMutexReleased();

 private:
  struct FilterObject;
  bool IsOpenFilter(PKSFILTER filter);
  FilterObject* FindFilter(PKSFILTER filter);
  // The open pin of this device, or null; with its filter when asked.
  std::shared_ptr<PinObject> FindPin(PKSPIN pin, FilterObject** filter = nullptr);
  void ClosePinObject(FilterObject* filter, const std::shared_ptr<PinObject>& pin);
  void ClosePinsOf(PKSFILTER filter);
  void CloseAllPins();

  KsClassDriver& driver_;
  DEVICE_OBJECT functionalDevice_{};
  KSDEVICE device_{};
  bool added_ = false;
  std::recursive_mutex deviceMutex_;
  int mutexDepth_ = 0;  // guarded by deviceMutex_
  std::mutex lock_;     // guards factories_ and filters_
  std::vector<FilterFactoryRecord> factories_;
  std::vector<std::unique_ptr<FilterObject>> filters_;
  std::atomic<uint64_t> callbackCalls_{0};
  std::atomic<uint64_t> slowCallbacks_{0};
  std::atomic<uint64_t> longestCallbackNs_{0};
};

// An object bag of the class driver: items with the routines that free them.
KSOBJECT_BAG CreateObjectBag();
// Frees every item (newest first) and the bag itself.
void DestroyObjectBag(KSOBJECT_BAG bag);
size_t ObjectBagSize(KSOBJECT_BAG bag);

}  // namespace host

// ---------------------------------------------------------------------------
// Property requests on an open filter, dispatched as the class driver does.
// ---------------------------------------------------------------------------
namespace host {

// A client's property request (IOCTL_KS_PROPERTY) on an open filter of the
// device: request is the KSPROPERTY with whatever follows it, data the
// client's data buffer. The class driver finds the set and item in the
// filter's automation table and checks the buffers against the item's minimum
// sizes before any handler runs: a request shorter than the item's minimum is
// STATUS_INVALID_BUFFER_SIZE; a data buffer of 0 bytes asks for the size
// (STATUS_BUFFER_OVERFLOW, *information the minimum); a shorter one is
// STATUS_BUFFER_TOO_SMALL. An unknown set is STATUS_PROPSET_NOT_FOUND, an
// unknown item STATUS_NOT_FOUND, a get or set the item has no handler for
// STATUS_INVALID_DEVICE_REQUEST, other request types STATUS_INVALID_PARAMETER
// (basic support is answered with the item's access flags). The handler sees
// copies of exactly the client's lengths. *information is the bytes returned.
NTSTATUS FilterPropertyRequest(KsDeviceHost& device, PKSFILTER filter, const void* request, ULONG requestBytes,
                               void* data, ULONG dataBytes, ULONG* information);

}  // namespace host
