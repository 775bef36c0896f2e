// The class driver's pins on the host: creation with a data format, the
// stepped state machine, the client's queue of frames behind the leading
// edge, processing on a worker thread, and the reference clock.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <new>
#include <thread>

#include "host_internal.h"
#include "ks_internal.h"
#include "platform/host_threads.h"

namespace host {

namespace {

const ULONG kTagPin = 0x6e704b53;    // "SKpn": the class driver's record of a pin
const ULONG kTagFrame = 0x72664b53;  // "SKfr": the record of one queued client frame

// Guard bytes on both sides of the buffer a minidriver fills.
constexpr size_t kGuardBytes = 64;
constexpr UCHAR kGuardByte = 0xA5;
// Platform frame buffers kept per pin for reuse, so a stream does not map
// fresh memory (and take page faults in the minidriver's copy) per frame.
constexpr size_t kCachedBuffers = 4;

// A copy of a client's data format that ends at an inaccessible page, so a
// minidriver reading past FormatSize faults at once.
struct GuardedFormat {
  void* mapping = nullptr;
  size_t mappingBytes = 0;
  PKSDATAFORMAT format = nullptr;
};

GuardedFormat MakeGuardedFormat(const void* source, ULONG bytes) {
  GuardedFormat copy;
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  size_t rounded = (size_t(bytes) + 7) & ~size_t(7);  // the format stays 8-byte aligned
  size_t dataPages = (rounded + page - 1) / page;
  size_t mappingBytes = (dataPages + 1) * page;
  void* mapping = mmap(nullptr, mappingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return copy;
  auto* guardPage = static_cast<UCHAR*>(mapping) + dataPages * page;
  mprotect(guardPage, page, PROT_NONE);
  copy.mapping = mapping;
  copy.mappingBytes = mappingBytes;
  copy.format = reinterpret_cast<PKSDATAFORMAT>(guardPage - rounded);
  memcpy(copy.format, source, bytes);
  return copy;
}

void FreeGuardedFormat(GuardedFormat* copy) {
  if (copy->mapping != nullptr) munmap(copy->mapping, copy->mappingBytes);
  *copy = GuardedFormat();
}

uint64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

// One client frame from its queuing to its return. The stream pointer the
// minidriver gets is part of it.
struct QueuedFrame {
  KSSTREAM_HEADER header;
  KSSTREAM_POINTER pointer;
  UCHAR* block;  // guard, FrameExtent bytes, guard
  void* clientBuffer;
  ULONG extent;
  FrameCompletionRoutine done;
  void* context;
  NTSTATUS status;
  NTSTATUS ejectStatus = STATUS_SUCCESS;  // as the minidriver set it on the locked pointer
  bool locked;

  UCHAR* Data() { return block + kGuardBytes; }
};

class HostReferenceClock;
void DeleteClock(HostReferenceClock* clock);

struct ClockDeleter {
  void operator()(HostReferenceClock* clock) const { DeleteClock(clock); }
};

}  // namespace

struct PinObject {
  KSPIN pin{};
  KsDeviceHost* device = nullptr;
  PKSFILTER filter = nullptr;
  GuardedFormat format;
  const KSDATARANGE* matchedRange = nullptr;
  void* record = nullptr;  // the class driver's pool record of the pin
  KMUTEX processingMutex;  // held by the worker around Process, and by the driver

  // Serialises the client's control requests on the pin (format, state,
  // clock, close), as the class driver's pin control mutex does.
  std::mutex control;

  std::mutex lock;                  // guards everything below
  std::condition_variable changed;  // the worker's and the completion thread's wake-up
  std::deque<QueuedFrame*> queue;   // frames not yet ejected, oldest first
  bool processingAllowed = false;   // the pin is in a state Process may run in
  bool attemptPending = false;      // processing asked for and not yet done
  bool processing = false;          // the worker is in (or about to call) Process
  bool closing = false;             // the worker and the completion thread end
  bool hostClock = false;           // the client gave the pin the host's clock
  std::deque<QueuedFrame*> completions;  // frames going back to the client
  bool completing = false;               // the completion thread is returning one
  std::vector<UCHAR*> cachedBlocks;      // frame buffers of cachedExtent bytes for reuse
  ULONG cachedExtent = 0;

  std::atomic<int> clockReferences{0};  // references the driver holds on its clock
  // Clock interfaces handed out, kept until the pin goes so a release too
  // many is caught rather than freeing twice. Guarded by lock.
  std::vector<std::unique_ptr<HostReferenceClock, ClockDeleter>> clocks;
  std::thread worker;
  std::thread completer;
};

namespace {

// --- Which pins and locked stream pointers exist ------------------------------

std::mutex registryLock;
// Guarded by registryLock.
std::map<PKSPIN, std::shared_ptr<PinObject>>& Pins() {
  static auto* pins = new std::map<PKSPIN, std::shared_ptr<PinObject>>;
  return *pins;
}
// Stream pointers locked now, with their pin. Guarded by registryLock.
std::map<PKSSTREAM_POINTER, PinObject*>& LockedPointers() {
  static auto* pointers = new std::map<PKSSTREAM_POINTER, PinObject*>;
  return *pointers;
}

std::shared_ptr<PinObject> PinFromDriver(PKSPIN pin, const char* call) {
  std::lock_guard<std::mutex> guard(registryLock);
  auto it = Pins().find(pin);
  if (it == Pins().end()) {
    static thread_local char message[160];
    snprintf(message, sizeof(message), "%s on a pin that is not open", call);
    PlatformFault(message);
  }
  return it->second;
}

[[noreturn]] void PinFault(const PinObject* pin, const char* what) {
  static thread_local char message[200];
  snprintf(message, sizeof(message), "pin %u (%p): %s", pin->pin.Id, static_cast<const void*>(&pin->pin), what);
  PlatformFault(message);
}

const KSPIN_DISPATCH* DispatchOf(const PinObject* pin) { return pin->pin.Descriptor->Dispatch; }

bool ProcessesIn(const PinObject* pin, KSSTATE state) {
  if (pin->pin.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) return state == KSSTATE_RUN;
  return state == KSSTATE_PAUSE || state == KSSTATE_RUN;
}

// Whether the worker should call Process now. Call with pin->lock held.
bool ReadyToProcessLocked(const PinObject* pin) {
  if (!pin->attemptPending || !pin->processingAllowed) return false;
  // Without this flag the class driver calls Process only with a frame at
  // the leading edge.
  return (pin->pin.Descriptor->Flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) || !pin->queue.empty();
}

// --- Frame buffers --------------------------------------------------------------

UCHAR* TakeBlock(PinObject* pin, ULONG extent) {
  {
    std::lock_guard<std::mutex> guard(pin->lock);
    if (pin->cachedExtent == extent && !pin->cachedBlocks.empty()) {
      UCHAR* block = pin->cachedBlocks.back();
      pin->cachedBlocks.pop_back();
      return block;
    }
  }
  auto* block = static_cast<UCHAR*>(malloc(size_t(extent) + 2 * kGuardBytes));
  if (block == nullptr) return nullptr;
  memset(block, kGuardByte, kGuardBytes);
  memset(block + kGuardBytes, 0, extent);  // touched now, on the client's thread
  memset(block + kGuardBytes + extent, kGuardByte, kGuardBytes);
  return block;
}

// Keeps a returned buffer for the next frame of the same size. Call with pin->lock held.
void ReturnBlockLocked(PinObject* pin, UCHAR* block, ULONG extent) {
  if (pin->cachedExtent != extent) {
    for (UCHAR* old : pin->cachedBlocks) free(old);
    pin->cachedBlocks.clear();
    pin->cachedExtent = extent;
  }
  if (pin->cachedBlocks.size() < kCachedBuffers && !pin->closing) pin->cachedBlocks.push_back(block);
  else free(block);
}

bool GuardsIntact(const UCHAR* guard) {
  for (size_t i = 0; i < kGuardBytes; ++i)
    if (guard[i] != kGuardByte) return false;
  return true;
}

// --- Completion: frames back to the client ----------------------------------------

// Hands a frame to the completion thread. Call with pin->lock held.
void CompleteLocked(PinObject* pin, QueuedFrame* frame, NTSTATUS status) {
  frame->status = status;
  pin->completions.push_back(frame);
  pin->changed.notify_all();
}

// Copies the filled part back into the client's buffer (the platform maps
// the client's memory; the host copies, off the driver's threads) and runs
// the client's routine.
void ReturnFrame(PinObject* pin, QueuedFrame* frame) {
  FrameCompletion completion{};
  completion.status = frame->status;
  completion.header = frame->header;
  completion.header.Data = frame->clientBuffer;
  completion.context = frame->context;
  // The driver wrote into the client's own memory on the platform: every
  // byte of the extent comes back as it is, written or not.
  if (frame->status == STATUS_SUCCESS) memcpy(frame->clientBuffer, frame->Data(), frame->extent);
  else completion.header.DataUsed = 0;
  FrameCompletionRoutine done = std::move(frame->done);
  {
    std::lock_guard<std::mutex> guard(pin->lock);
    ReturnBlockLocked(pin, frame->block, frame->extent);
  }
  frame->~QueuedFrame();
  ExFreePoolWithTag(frame, kTagFrame);
  if (done) done(completion);
}

void CompletionThread(PinObject* pin) {
  std::unique_lock<std::mutex> guard(pin->lock);
  for (;;) {
    pin->changed.wait(guard, [pin] { return !pin->completions.empty() || pin->closing; });
    if (pin->completions.empty()) return;  // closing, and every frame is back
    QueuedFrame* frame = pin->completions.front();
    pin->completions.pop_front();
    pin->completing = true;
    guard.unlock();
    ReturnFrame(pin, frame);
    guard.lock();
    pin->completing = false;
    pin->changed.notify_all();
  }
}

// Waits until every frame handed to the completion thread is back with the client.
void DrainCompletions(PinObject* pin) {
  std::unique_lock<std::mutex> guard(pin->lock);
  pin->changed.wait(guard, [pin] { return pin->completions.empty() && !pin->completing; });
}

// --- Processing --------------------------------------------------------------------

void CheckProcessReturnedClean(PinObject* pin) {
  ThreadKernelState state = CurrentThreadKernelState();
  if (state.irql != PASSIVE_LEVEL) PinFault(pin, "Process returned at a raised IRQL");
  if (state.criticalRegions != 0) PinFault(pin, "Process returned inside a critical region");
  if (state.kernelMutexes != 1) PinFault(pin, "Process returned owning a kernel mutex");
}

// One call of Process with the processing mutex held, unless the pin left
// the processing states while the worker waited for the mutex.
NTSTATUS ProcessOnce(PinObject* pin) {
  KeWaitForSingleObject(&pin->processingMutex, Executive, KernelMode, FALSE, nullptr);
  bool allowed;
  {
    std::lock_guard<std::mutex> guard(pin->lock);
    allowed = pin->processingAllowed && !pin->closing;
  }
  NTSTATUS status = STATUS_PENDING;
  if (allowed && DispatchOf(pin)->Process != nullptr) {
    status = DispatchOf(pin)->Process(&pin->pin);
    CheckProcessReturnedClean(pin);
  }
  KeReleaseMutex(&pin->processingMutex, FALSE);
  return status;
}

// The class driver's worker for one pin: Process never runs concurrently
// with itself, only in a processing state, and never after the pin closed.
void ProcessingWorker(PinObject* pin) {
  std::unique_lock<std::mutex> guard(pin->lock);
  for (;;) {
    pin->changed.wait(guard, [pin] { return pin->closing || ReadyToProcessLocked(pin); });
    if (pin->closing) break;
    pin->attemptPending = false;
    pin->processing = true;
    guard.unlock();
    NTSTATUS status = ProcessOnce(pin);
    guard.lock();
    pin->processing = false;
    // Success asks to be called again while frames remain; STATUS_PENDING
    // (or a failure) waits for the next attempt or the next frame.
    if (status == STATUS_SUCCESS && !pin->queue.empty()) pin->attemptPending = true;
  }
}

// --- The reference clock -----------------------------------------------------------

int64_t Monotonic100ns() { return int64_t(NowNs() / 100); }

// The host's master clock as one interface handed to a pin's driver; the pin
// counts the references its driver holds so a leak is caught at close, and
// owns the object so a release too many is caught.
class HostReferenceClock final : public IKsReferenceClock {
 public:
  explicit HostReferenceClock(PinObject* pin) : pin_(pin) { pin_->clockReferences.fetch_add(1); }

  NTSTATUS NTAPI QueryInterface(REFIID interfaceId, PVOID* object) override {
    (void)interfaceId;
    if (object != nullptr) *object = nullptr;
    return STATUS_NOT_SUPPORTED;
  }
  ULONG NTAPI AddRef() override {
    pin_->clockReferences.fetch_add(1);
    return ULONG(references_.fetch_add(1) + 1);
  }
  ULONG NTAPI Release() override {
    LONG left = references_.fetch_sub(1) - 1;
    if (left < 0) PinFault(pin_, "reference clock released more often than referenced");
    pin_->clockReferences.fetch_sub(1);
    return ULONG(left);
  }
  LONGLONG NTAPI GetTime() override { return Monotonic100ns(); }
  LONGLONG NTAPI GetPhysicalTime() override { return Monotonic100ns(); }
  LONGLONG NTAPI GetCorrelatedTime(PLONGLONG systemTime) override { return Correlated(systemTime); }
  LONGLONG NTAPI GetCorrelatedPhysicalTime(PLONGLONG systemTime) override { return Correlated(systemTime); }
  NTSTATUS NTAPI GetResolution(PKSRESOLUTION resolution) override {
    resolution->Granularity = 1;
    resolution->Error = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS NTAPI GetState(PKSSTATE state) override {
    *state = pin_->pin.ClientState;
    return STATUS_SUCCESS;
  }

 private:
  LONGLONG NTAPI Correlated(PLONGLONG systemTime) {
    LONGLONG now = Monotonic100ns();
    if (systemTime != nullptr) *systemTime = now;
    return now;
  }

  PinObject* pin_;
  std::atomic<LONG> references_{1};
};

void DeleteClock(HostReferenceClock* clock) { delete clock; }

// --- Format checks -------------------------------------------------------------------

// The range of the pin that a client's format matches: the format's GUIDs
// must be those of the range, or the range's a wildcard.
const KSDATARANGE* MatchingRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT& format) {
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = descriptor->PinDescriptor.DataRanges[i];
    auto sideMatches = [](const GUID& wanted, const GUID& offered) {
      return IsEqualGUID(wanted, offered) || IsEqualGUID(offered, KSDATAFORMAT_TYPE_WILDCARD);
    };
    if (sideMatches(format.MajorFormat, range->MajorFormat) && sideMatches(format.SubFormat, range->SubFormat) &&
        sideMatches(format.Specifier, range->Specifier))
      return range;
  }
  return nullptr;
}

// Checks a client's format request: the buffer holds a KSDATAFORMAT whose
// FormatSize covers the header and lies inside the buffer, and it matches a
// range of the pin.
NTSTATUS CheckClientFormat(const KSPIN_DESCRIPTOR_EX* descriptor, const void* format, ULONG formatBytes,
                           const KSDATARANGE** range) {
  if (format == nullptr || formatBytes < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  KSDATAFORMAT header;
  memcpy(&header, format, sizeof(header));
  if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > formatBytes) return STATUS_INVALID_PARAMETER;
  *range = MatchingRange(descriptor, header);
  return *range != nullptr ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

template <typename Call>
NTSTATUS TimedCallback(KsDeviceHost* device, Call call) {
  uint64_t start = NowNs();
  NTSTATUS status = call();
  device->NoteCallbackDuration(NowNs() - start);
  return status;
}

NTSTATUS CallWithIrp(PinObject* pin, PFNKSPINIRP routine) {
  if (routine == nullptr) return STATUS_SUCCESS;
  PDEVICE_OBJECT functional = KsGetDevice(&pin->pin)->FunctionalDeviceObject;
  PIRP irp = RigIrp(functional->StackSize);
  NTSTATUS status = TimedCallback(pin->device, [&] { return routine(&pin->pin, irp); });
  if (irp != nullptr) IoFreeIrp(irp);
  return status;
}

// Frees what creation made; the bag is emptied without Close.
void DestroyPin(PinObject* pin) {
  if (pin->pin.Bag != nullptr) DestroyObjectBag(pin->pin.Bag);
  pin->pin.Bag = nullptr;
  {
    std::lock_guard<std::mutex> guard(registryLock);
    Pins().erase(&pin->pin);
  }
  SetOwner(&pin->pin, nullptr);
  FreeGuardedFormat(&pin->format);
  for (UCHAR* block : pin->cachedBlocks) free(block);
  pin->cachedBlocks.clear();
  pin->clocks.clear();
  if (pin->record != nullptr) ExFreePoolWithTag(pin->record, kTagPin);
  pin->record = nullptr;
}

// --- State changes --------------------------------------------------------------------

// Returns every queued frame to the client as cancelled, with no Process in
// flight. Call with the pin's control mutex held, in KSSTATE_STOP.
void CancelQueuedFrames(PinObject* pin) {
  KeWaitForSingleObject(&pin->processingMutex, Executive, KernelMode, FALSE, nullptr);
  {
    std::lock_guard<std::mutex> guard(pin->lock);
    for (QueuedFrame* frame : pin->queue) {
      if (frame->locked) PinFault(pin, "a stream pointer was still locked when the pin stopped");
      CompleteLocked(pin, frame, STATUS_CANCELLED);
    }
    pin->queue.clear();
    pin->attemptPending = false;
  }
  KeReleaseMutex(&pin->processingMutex, FALSE);
  DrainCompletions(pin);
}

// One step to a neighbouring state. Processing stops before the minidriver
// hears of a step out of the processing states, and starts after a step
// into them succeeded. With force (closing) a refused step is taken anyway.
// Call with the pin's control mutex held.
NTSTATUS StepState(PinObject* pin, KSSTATE to, bool force) {
  KSSTATE from = pin->pin.DeviceState;
  bool leaving = ProcessesIn(pin, from) && !ProcessesIn(pin, to);
  if (leaving) {
    std::lock_guard<std::mutex> guard(pin->lock);
    pin->processingAllowed = false;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (PFNKSPINSETDEVICESTATE routine = DispatchOf(pin)->SetDeviceState)
    status = TimedCallback(pin->device, [&] { return routine(&pin->pin, to, from); });
  if (!NT_SUCCESS(status) && !force) {
    std::lock_guard<std::mutex> guard(pin->lock);
    pin->processingAllowed = ProcessesIn(pin, from);
    pin->changed.notify_all();
    return status;
  }
  {
    std::lock_guard<std::mutex> guard(pin->lock);
    pin->pin.DeviceState = to;
    pin->processingAllowed = ProcessesIn(pin, to);
    pin->changed.notify_all();
  }
  if (to == KSSTATE_STOP) CancelQueuedFrames(pin);
  return status;
}

// Call with the pin's control mutex held.
NTSTATUS WalkToState(PinObject* pin, KSSTATE target, bool force) {
  pin->pin.ClientState = target;
  while (pin->pin.DeviceState != target) {
    KSSTATE next = KSSTATE(pin->pin.DeviceState + (pin->pin.DeviceState < target ? 1 : -1));
    NTSTATUS status = StepState(pin, next, force);
    if (!NT_SUCCESS(status) && !force) {
      pin->pin.ClientState = pin->pin.DeviceState;
      return status;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace

// --- The device host's pin requests ------------------------------------------------

void KsDeviceHost::NoteCallbackDuration(uint64_t nanoseconds) {
  callbackCalls_.fetch_add(1);
  if (nanoseconds > kSlowCallbackNs) slowCallbacks_.fetch_add(1);
  uint64_t longest = longestCallbackNs_.load();
  while (nanoseconds > longest && !longestCallbackNs_.compare_exchange_weak(longest, nanoseconds)) {
  }
}

CallbackTiming KsDeviceHost::PinCallbackTiming() {
  CallbackTiming timing;
  timing.calls = callbackCalls_.load();
  timing.slowCalls = slowCallbacks_.load();
  timing.longestNs = longestCallbackNs_.load();
  return timing;
}

std::shared_ptr<PinObject> KsDeviceHost::FindPin(PKSPIN pin, FilterObject** filter) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& object : filters_)
    for (auto& candidate : object->pins)
      if (&candidate->pin == pin) {
        if (filter != nullptr) *filter = object.get();
        return candidate;
      }
  return nullptr;
}

size_t KsDeviceHost::OpenPins() {
  std::lock_guard<std::mutex> guard(lock_);
  size_t count = 0;
  for (auto& object : filters_) count += object->pins.size();
  return count;
}

NTSTATUS KsDeviceHost::PinDataRanges(PKSFILTER filter, ULONG pinId, void* buffer, ULONG bytes, ULONG* information) {
  *information = 0;
  if (!IsOpenFilter(filter)) return STATUS_INVALID_HANDLE;
  const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptorAt(filter->Descriptor, pinId);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  uint64_t size = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i)
    size += (uint64_t(descriptor->PinDescriptor.DataRanges[i]->FormatSize) + 7) & ~uint64_t(7);
  if (size > 0xFFFFFFFFu) return STATUS_INVALID_PARAMETER;
  if (bytes == 0) {
    *information = ULONG(size);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (buffer == nullptr || bytes < size) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<UCHAR*>(buffer);
  memset(out, 0, size_t(size));
  KSMULTIPLE_ITEM header{ULONG(size), descriptor->PinDescriptor.DataRangesCount};
  memcpy(out, &header, sizeof(header));
  size_t offset = sizeof(header);
  for (ULONG i = 0; i < descriptor->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE* range = descriptor->PinDescriptor.DataRanges[i];
    memcpy(out + offset, range, range->FormatSize);
    offset += (size_t(range->FormatSize) + 7) & ~size_t(7);
  }
  *information = ULONG(size);
  return STATUS_SUCCESS;
}

PKSPIN KsDeviceHost::CreatePin(PKSFILTER filter, ULONG pinId, const void* format, ULONG formatBytes,
                               NTSTATUS* status) {
  FilterObject* filterObject = FindFilter(filter);
  if (filterObject == nullptr) {
    *status = STATUS_INVALID_HANDLE;
    return nullptr;
  }
  std::lock_guard<std::mutex> control(filterObject->control);
  const KSPIN_DESCRIPTOR_EX* descriptor = PinDescriptorAt(filter->Descriptor, pinId);
  if (descriptor == nullptr) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  size_t instances = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& pin : filterObject->pins) instances += pin->pin.Id == pinId;
  }
  if (instances >= descriptor->InstancesPossible) {
    *status = STATUS_UNSUCCESSFUL;
    return nullptr;
  }
  const KSDATARANGE* range = nullptr;
  *status = CheckClientFormat(descriptor, format, formatBytes, &range);
  if (!NT_SUCCESS(*status)) return nullptr;

  auto pin = std::make_shared<PinObject>();
  pin->device = this;
  pin->filter = filter;
  pin->matchedRange = range;
  {
    RigAllocations rig;
    pin->record = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagPin);
  }
  ULONG formatSize = static_cast<const KSDATAFORMAT*>(format)->FormatSize;
  if (pin->record != nullptr) pin->format = MakeGuardedFormat(format, formatSize);
  if (pin->format.format == nullptr) {
    DestroyPin(pin.get());
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  KeInitializeMutex(&pin->processingMutex, 0);
  KSPIN& ks = pin->pin;
  ks.Descriptor = descriptor;
  ks.Bag = CreateObjectBag();
  ks.Context = filter->Context;  // a pin starts with its filter's context
  ks.Id = pinId;
  ks.Communication = descriptor->PinDescriptor.Communication;
  ks.DataFlow = descriptor->PinDescriptor.DataFlow;
  ks.ConnectionFormat = pin->format.format;
  ks.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
  ks.DeviceState = KSSTATE_STOP;
  ks.ClientState = KSSTATE_STOP;
  SetOwner(&ks, &device_);
  {
    std::lock_guard<std::mutex> guard(registryLock);
    Pins()[&ks] = pin;
  }
  // The format first, so Create sees it; a failure of either undoes the pin
  // without Close.
  if (PFNKSPINSETDATAFORMAT setFormat = descriptor->Dispatch->SetDataFormat)
    *status = TimedCallback(this, [&] { return setFormat(&ks, nullptr, nullptr, range, nullptr); });
  if (NT_SUCCESS(*status)) *status = CallWithIrp(pin.get(), descriptor->Dispatch->Create);
  if (!NT_SUCCESS(*status)) {
    DestroyPin(pin.get());
    return nullptr;
  }
  *status = STATUS_SUCCESS;
  pin->worker = StartAccountedThread(ThreadRole::Processing, [object = pin.get()] { ProcessingWorker(object); });
  pin->completer = std::thread(CompletionThread, pin.get());
  std::lock_guard<std::mutex> guard(lock_);
  filterObject->pins.push_back(pin);
  return &ks;
}

NTSTATUS KsDeviceHost::SetPinFormat(PKSPIN pinHandle, const void* format, ULONG formatBytes) {
  std::shared_ptr<PinObject> pin = FindPin(pinHandle);
  if (!pin) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> control(pin->control);
  const KSDATARANGE* range = nullptr;
  NTSTATUS status = CheckClientFormat(pin->pin.Descriptor, format, formatBytes, &range);
  if (!NT_SUCCESS(status)) return status;
  GuardedFormat replacement = MakeGuardedFormat(format, static_cast<const KSDATAFORMAT*>(format)->FormatSize);
  if (replacement.format == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  GuardedFormat old = pin->format;
  pin->pin.ConnectionFormat = replacement.format;
  if (PFNKSPINSETDATAFORMAT setFormat = DispatchOf(pin.get())->SetDataFormat)
    status = TimedCallback(this, [&] { return setFormat(&pin->pin, old.format, nullptr, range, nullptr); });
  if (!NT_SUCCESS(status)) {
    pin->pin.ConnectionFormat = old.format;
    FreeGuardedFormat(&replacement);
    return status;
  }
  pin->format = replacement;
  pin->matchedRange = range;
  FreeGuardedFormat(&old);
  return STATUS_SUCCESS;
}

NTSTATUS KsDeviceHost::SetPinState(PKSPIN pinHandle, KSSTATE state) {
  if (state < KSSTATE_STOP || state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<PinObject> pin = FindPin(pinHandle);
  if (!pin) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> control(pin->control);
  return WalkToState(pin.get(), state, false);
}

NTSTATUS KsDeviceHost::SetPinClock(PKSPIN pinHandle, bool hostClock) {
  std::shared_ptr<PinObject> pin = FindPin(pinHandle);
  if (!pin) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> control(pin->control);
  if (pin->pin.DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  std::lock_guard<std::mutex> guard(pin->lock);
  pin->hostClock = hostClock;
  return STATUS_SUCCESS;
}

NTSTATUS KsDeviceHost::QueueFrame(PKSPIN pinHandle, void* buffer, ULONG frameExtent, FrameCompletionRoutine done,
                                  void* context) {
  std::shared_ptr<PinObject> pin = FindPin(pinHandle);
  if (!pin) return STATUS_INVALID_HANDLE;
  if (buffer == nullptr || frameExtent == 0) return STATUS_INVALID_PARAMETER;
  void* memory;
  {
    RigAllocations rig;
    memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(QueuedFrame), kTagFrame);
  }
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR* block = TakeBlock(pin.get(), frameExtent);
  if (block == nullptr) {
    ExFreePoolWithTag(memory, kTagFrame);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* frame = new (memory) QueuedFrame{};
  memcpy(block + kGuardBytes, buffer, frameExtent);  // the driver sees the client's bytes
  frame->block = block;
  frame->clientBuffer = buffer;
  frame->extent = frameExtent;
  frame->done = std::move(done);
  frame->context = context;
  frame->header.Size = sizeof(KSSTREAM_HEADER);
  frame->header.FrameExtent = frameExtent;
  frame->header.Data = frame->Data();
  frame->pointer.Pin = pinHandle;
  frame->pointer.StreamHeader = &frame->header;
  frame->pointer.Offset = &frame->pointer.OffsetOut;
  frame->pointer.OffsetOut.Data = frame->Data();
  frame->pointer.OffsetOut.Count = frameExtent;
  frame->pointer.OffsetOut.Remaining = frameExtent;
  std::lock_guard<std::mutex> guard(pin->lock);
  if (pin->pin.DeviceState == KSSTATE_STOP || pin->closing) {
    ReturnBlockLocked(pin.get(), block, frameExtent);
    frame->~QueuedFrame();
    ExFreePoolWithTag(memory, kTagFrame);
    return STATUS_INVALID_DEVICE_STATE;
  }
  pin->queue.push_back(frame);
  pin->attemptPending = true;
  pin->changed.notify_all();
  return STATUS_PENDING;
}

void KsDeviceHost::ClosePinObject(FilterObject* filter, const std::shared_ptr<PinObject>& pin) {
  {
    std::lock_guard<std::mutex> control(pin->control);
    WalkToState(pin.get(), KSSTATE_STOP, true);
    {
      std::lock_guard<std::mutex> guard(pin->lock);
      pin->closing = true;
      pin->changed.notify_all();
    }
    pin->worker.join();  // no Process from here on
    if (pin->clockReferences.load() != 0) PinFault(pin.get(), "closed with its reference clock still referenced");
    CallWithIrp(pin.get(), DispatchOf(pin.get())->Close);
    pin->completer.join();
    DestroyPin(pin.get());
  }
  std::lock_guard<std::mutex> guard(lock_);
  auto& pins = filter->pins;
  for (auto it = pins.begin(); it != pins.end(); ++it)
    if (*it == pin) {
      pins.erase(it);
      break;
    }
}

NTSTATUS KsDeviceHost::ClosePin(PKSPIN pinHandle) {
  FilterObject* filter = nullptr;
  std::shared_ptr<PinObject> pin = FindPin(pinHandle, &filter);
  if (!pin) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> control(filter->control);
  if (FindPin(pinHandle) != pin) return STATUS_INVALID_HANDLE;  // closed meanwhile
  ClosePinObject(filter, pin);
  return STATUS_SUCCESS;
}

void KsDeviceHost::ClosePinsOf(PKSFILTER filterHandle) {
  FilterObject* filter = FindFilter(filterHandle);
  if (filter == nullptr) return;
  std::lock_guard<std::mutex> control(filter->control);
  for (;;) {
    std::shared_ptr<PinObject> pin;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (filter->pins.empty()) return;
      pin = filter->pins.back();
    }
    ClosePinObject(filter, pin);
  }
}

void KsDeviceHost::CloseAllPins() {
  std::vector<PKSFILTER> filters;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& object : filters_) filters.push_back(&object->filter);
  }
  for (PKSFILTER filter : filters) ClosePinsOf(filter);
}

}  // namespace host

// --- The minidriver's calls ------------------------------------------------------------

using host::PinObject;

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN pinHandle, KSSTREAM_POINTER_STATE state) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("KsPinGetLeadingEdgeStreamPointer above dispatch level");
  std::shared_ptr<PinObject> pin = host::PinFromDriver(pinHandle, "KsPinGetLeadingEdgeStreamPointer");
  std::lock_guard<std::mutex> guard(pin->lock);
  if (pin->queue.empty()) return nullptr;
  host::QueuedFrame* frame = pin->queue.front();
  if (state == KSSTREAM_POINTER_STATE_LOCKED && !frame->locked) {
    frame->locked = true;
    std::lock_guard<std::mutex> registry(host::registryLock);
    host::LockedPointers()[&frame->pointer] = pin.get();
  }
  return &frame->pointer;
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER streamPointer, BOOLEAN eject) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("KsStreamPointerUnlock above dispatch level");
  PinObject* pin;
  {
    std::lock_guard<std::mutex> registry(host::registryLock);
    auto it = host::LockedPointers().find(streamPointer);
    if (it == host::LockedPointers().end())
      host::PlatformFault("KsStreamPointerUnlock of a stream pointer that is not locked (unlocked twice, or "
                          "used after it was ejected)");
    pin = it->second;
    host::LockedPointers().erase(it);
  }
  std::lock_guard<std::mutex> guard(pin->lock);
  host::QueuedFrame* frame = pin->queue.front();
  if (&frame->pointer != streamPointer) host::PinFault(pin, "the locked stream pointer is not at the leading edge");
  frame->locked = false;
  if (!eject) return;
  if (!host::GuardsIntact(frame->block) || !host::GuardsIntact(frame->Data() + frame->extent))
    host::PinFault(pin, "the minidriver wrote outside the frame's FrameExtent bytes");
  if (frame->header.DataUsed > frame->header.FrameExtent)
    host::PinFault(pin, "a frame came back with DataUsed larger than its FrameExtent");
  pin->queue.pop_front();
  host::CompleteLocked(pin, frame, frame->ejectStatus);
}

NTSTATUS KsStreamPointerSetStatusCode(PKSSTREAM_POINTER streamPointer, NTSTATUS status) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("KsStreamPointerSetStatusCode above dispatch level");
  PinObject* pin;
  {
    std::lock_guard<std::mutex> registry(host::registryLock);
    auto it = host::LockedPointers().find(streamPointer);
    if (it == host::LockedPointers().end())
      host::PlatformFault("KsStreamPointerSetStatusCode of a stream pointer that is not locked");
    pin = it->second;
  }
  std::lock_guard<std::mutex> guard(pin->lock);
  host::QueuedFrame* frame = pin->queue.front();
  if (&frame->pointer != streamPointer) host::PinFault(pin, "the locked stream pointer is not at the leading edge");
  frame->ejectStatus = status;
  return STATUS_SUCCESS;
}

void KsPinAttemptProcessing(PKSPIN pinHandle, BOOLEAN asynchronous) {
  (void)asynchronous;  // the host always processes on the pin's worker
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("KsPinAttemptProcessing above dispatch level");
  std::shared_ptr<PinObject> pin = host::PinFromDriver(pinHandle, "KsPinAttemptProcessing");
  std::lock_guard<std::mutex> guard(pin->lock);
  pin->attemptPending = true;
  pin->changed.notify_all();
}

void KsPinAcquireProcessingMutex(PKSPIN pinHandle) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) host::PlatformFault("KsPinAcquireProcessingMutex above passive level");
  std::shared_ptr<PinObject> pin = host::PinFromDriver(pinHandle, "KsPinAcquireProcessingMutex");
  KeWaitForSingleObject(&pin->processingMutex, Executive, KernelMode, FALSE, nullptr);
}

void KsPinReleaseProcessingMutex(PKSPIN pinHandle) {
  std::shared_ptr<PinObject> pin = host::PinFromDriver(pinHandle, "KsPinReleaseProcessingMutex");
  KeReleaseMutex(&pin->processingMutex, FALSE);
}

PKSFILTER KsPinGetParentFilter(PKSPIN pinHandle) {
  return host::PinFromDriver(pinHandle, "KsPinGetParentFilter")->filter;
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN pinHandle, PIKSREFERENCECLOCK* referenceClock) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("KsPinGetReferenceClockInterface above dispatch level");
  std::shared_ptr<PinObject> pin = host::PinFromDriver(pinHandle, "KsPinGetReferenceClockInterface");
  *referenceClock = nullptr;
  {
    std::lock_guard<std::mutex> guard(pin->lock);
    if (!pin->hostClock) return STATUS_UNSUCCESSFUL;
  }
  auto* clock = new host::HostReferenceClock(pin.get());
  std::lock_guard<std::mutex> guard(pin->lock);
  pin->clocks.emplace_back(clock);
  *referenceClock = clock;
  return STATUS_SUCCESS;
}
