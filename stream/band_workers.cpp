// Band workers: one system thread per band beyond the first, each waiting on
// its own event for a conversion's work; the converting thread waits on a
// shared event until the last worker has finished.
#include "stream/band_workers.h"

#include <new>

#include "stream/system_thread.h"

namespace {

struct BandWorker {
  BandWorkers* owner;
  ULONG band;
  PVOID thread;  // referenced thread object, or null
  KEVENT go;     // synchronization event: one wake per conversion
};

}  // namespace

class BandWorkers final : public BandRunner {
 public:
  void Run(void (*work)(void* context, uint32_t band), void* context, uint32_t bands) override;

  // Set by Run before the workers are woken and read by them after the
  // wake; the event gives the ordering.
  void (*work_)(void* context, uint32_t band);
  void* context_;
  volatile LONG pending_;  // workers still busy with the current conversion
  volatile LONG quit_;
  KEVENT allDone_;  // notification event, set by the last worker to finish
  ULONG workerCount_;
  BandWorker workers_[kMaxBandWorkerBands - 1];
};

namespace {

void NTAPI BandWorkerMain(PVOID start) {
  auto* worker = static_cast<BandWorker*>(start);
  BandWorkers* owner = worker->owner;
  for (;;) {
    KeWaitForSingleObject(&worker->go, Executive, KernelMode, FALSE, nullptr);
    if (InterlockedCompareExchange(&owner->quit_, 0, 0) != 0) break;
    owner->work_(owner->context_, worker->band);
    if (InterlockedDecrement(&owner->pending_) == 0) KeSetEvent(&owner->allDone_, IO_NO_INCREMENT, FALSE);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

// Band 0 and any band beyond the workers run on the calling thread.
void BandWorkers::Run(void (*work)(void* context, uint32_t band), void* context, uint32_t bands) {
  ULONG helpers = bands - 1 < workerCount_ ? bands - 1 : workerCount_;
  work_ = work;
  context_ = context;
  KeResetEvent(&allDone_);
  InterlockedExchange(&pending_, LONG(helpers));
  for (ULONG i = 0; i < helpers; ++i) {
    workers_[i].band = i + 1;
    KeSetEvent(&workers_[i].go, IO_NO_INCREMENT, FALSE);
  }
  work(context, 0);
  for (ULONG band = helpers + 1; band < bands; ++band) work(context, band);
  if (helpers > 0) KeWaitForSingleObject(&allDone_, Executive, KernelMode, FALSE, nullptr);
}

BandWorkers* StartBandWorkers(ULONG bands) {
  if (bands > kMaxBandWorkerBands) bands = kMaxBandWorkerBands;
  if (bands < 2) return nullptr;
  PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BandWorkers), kTagRecords);
  if (memory == nullptr) return nullptr;
  RtlZeroMemory(memory, sizeof(BandWorkers));
  auto* workers = new (memory) BandWorkers();
  KeInitializeEvent(&workers->allDone_, NotificationEvent, FALSE);
  for (ULONG i = 0; i < bands - 1; ++i) {
    BandWorker* worker = &workers->workers_[i];
    worker->owner = workers;
    worker->band = i + 1;
    KeInitializeEvent(&worker->go, SynchronizationEvent, FALSE);
    worker->thread = StartSystemThread(BandWorkerMain, worker);
    if (worker->thread == nullptr) break;
    workers->workerCount_ = i + 1;
  }
  if (workers->workerCount_ == 0) {
    ExFreePoolWithTag(workers, kTagRecords);
    return nullptr;
  }
  return workers;
}

void StopBandWorkers(BandWorkers* workers) {
  if (workers == nullptr) return;
  InterlockedExchange(&workers->quit_, 1);
  for (ULONG i = 0; i < workers->workerCount_; ++i) KeSetEvent(&workers->workers_[i].go, IO_NO_INCREMENT, FALSE);
  for (ULONG i = 0; i < workers->workerCount_; ++i) JoinSystemThread(workers->workers_[i].thread);
  ExFreePoolWithTag(workers, kTagRecords);
}

BandRunner* BandRunnerOf(BandWorkers* workers) { return workers; }
ULONG BandCountOf(BandWorkers* workers) { return workers == nullptr ? 1 : workers->workerCount_ + 1; }

ULONG PreferredBandCount() {
  ULONG processors = KeQueryActiveProcessorCount(nullptr);
  if (processors < 1) return 1;
  return processors < kMaxBandWorkerBands ? processors : kMaxBandWorkerBands;
}
