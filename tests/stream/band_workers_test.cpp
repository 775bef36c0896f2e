// The capture's band workers: a conversion on them is the conversion on one
// thread, bit for bit, however many workers there are; they end with their
// owner, and a missing thread only means fewer bands.
#include <gtest/gtest.h>

#include <random>

#include "imaging/imaging_test_support.h"
#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "stream/band_workers.h"

namespace {

using imaging_test::RawFrame;
using imaging_test::TestPipeline;

void FillRandom(RawFrame& raw, std::mt19937& random) {
  raw.Fill([&](int, int) { return int(random() % 256); });
}

TEST(BandWorkers, ConvertBitForBitAsOneThreadForEveryWorkerCount) {
  std::mt19937 random(5);
  for (ULONG bands : {2u, 3u, kMaxBandWorkerBands, kMaxBandWorkerBands + 3}) {
    SCOPED_TRACE(bands);
    BandWorkers* workers = StartBandWorkers(bands);
    ASSERT_NE(workers, nullptr);
    EXPECT_EQ(BandCountOf(workers), bands < kMaxBandWorkerBands ? bands : kMaxBandWorkerBands);
    EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), BandCountOf(workers) - 1);
    TestPipeline whole(96, 61), banded(96, 61);
    SetAutoWhiteBalance(whole.p, 1);
    SetAutoWhiteBalance(banded.p, 1);
    RawFrame raw(96, 61);
    // Many frames in a row: every wake finds the workers ready again.
    for (int frame = 0; frame < 40; ++frame) {
      FillRandom(raw, random);
      ConvertFrame(whole.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
      ConvertFrame(banded.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch,
                   BandRunnerOf(workers), BandCountOf(workers));
      ASSERT_EQ(banded.Image(), whole.Image()) << "frame " << frame;
      ASSERT_EQ(banded.p->redGain, whole.p->redGain);
    }
    StopBandWorkers(workers);
    EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u);
    EXPECT_EQ(host::LiveThreadObjects(), 0u);
  }
}

// More bands asked of the runner than it has workers: the calling thread
// takes the rest.
TEST(BandWorkers, MoreBandsThanWorkersStillCoverEveryBand) {
  BandWorkers* workers = StartBandWorkers(2);
  ASSERT_NE(workers, nullptr);
  std::vector<int> seen(7, 0);
  BandRunnerOf(workers)->Run([](void* context, uint32_t band) { ++static_cast<int*>(context)[band]; },
                             seen.data(), 7);
  EXPECT_EQ(seen, std::vector<int>(7, 1));
  StopBandWorkers(workers);
}

TEST(BandWorkers, WithoutThreadsOrMemoryTheConversionRunsInOneBand) {
  EXPECT_EQ(StartBandWorkers(1), nullptr);
  EXPECT_EQ(BandCountOf(nullptr), 1u);
  host::FailThreadCreation(true);
  EXPECT_EQ(StartBandWorkers(4), nullptr);
  host::FailThreadCreation(false);
  host::FailAllocationsWithTag("KCNw");
  EXPECT_EQ(StartBandWorkers(4), nullptr);
  host::ClearPoolFaults();
  EXPECT_EQ(host::LiveThreadObjects(), 0u);
  EXPECT_EQ(host::PoolLiveAllocations("KCNw"), 0u);
}

}  // namespace
