// A BandRunner on host threads, for the tests and the benchmark: the calling
// thread and a fixed set of worker threads, started once, take bands from a
// shared counter until none are left.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "imaging/frame_conversion.h"

namespace imaging_test {

class ThreadBandRunner final : public BandRunner {
 public:
  // `threads` threads in all, the caller's included.
  explicit ThreadBandRunner(uint32_t threads) {
    for (uint32_t i = 1; i < threads; ++i) workers_.emplace_back([this] { WorkerLoop(); });
  }
  ~ThreadBandRunner() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }
  ThreadBandRunner(const ThreadBandRunner&) = delete;
  ThreadBandRunner& operator=(const ThreadBandRunner&) = delete;

  void Run(void (*work)(void*, uint32_t), void* context, uint32_t bands) override {
    const Job job = {work, context, bands};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = job;
      next_.store(0);
      busy_ = static_cast<uint32_t>(workers_.size());
      ++generation_;
    }
    start_.notify_all();
    Take(job);
    // The mutex hands the workers' writes to this thread.
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  struct Job {
    void (*work)(void*, uint32_t);
    void* context;
    uint32_t bands;
  };

  void Take(const Job& job) {
    for (uint32_t band = next_.fetch_add(1); band < job.bands; band = next_.fetch_add(1))
      job.work(job.context, band);
  }

  void WorkerLoop() {
    uint64_t seen = 0;
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        job = job_;
      }
      Take(job);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable start_, done_;
  Job job_ = {};
  uint64_t generation_ = 0;
  uint32_t busy_ = 0;
  bool stopping_ = false;
  std::atomic<uint32_t> next_{0};
  std::vector<std::thread> workers_;
};

}  // namespace imaging_test
