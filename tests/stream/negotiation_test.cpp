// Format negotiation through the class driver's data-intersection request:
// the pin's range as each filter offers it, the formats the intersect handler
// makes from it, and what it does with malformed ranges from clients.
#include <gtest/gtest.h>
#include <string.h>

#include <climits>
#include <vector>

#include "camera/sensor.h"
#include "driver/device_context.h"
#include "platform/host_pool.h"
#include "stream/descriptors.h"
#include "stream/intersect.h"
#include "stream/ks_guids.h"
#include "stream/video_range.h"
#include "tools/client/camera_system.h"
#include "tests/support/driver_under_test.h"

namespace {

using kscam::CameraSystem;
using Bytes = std::vector<uint8_t>;

constexpr ULONG kBitmapOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) + offsetof(KS_VIDEOINFOHEADER, bmiHeader);

Bytes RangeBytes(const KS_DATARANGE_VIDEO& range, ULONG extra = 0) {
  Bytes bytes(sizeof(range) + extra, 0xA5);
  memcpy(bytes.data(), &range, sizeof(range));
  ULONG size = ULONG(bytes.size());
  memcpy(bytes.data(), &size, sizeof(size));  // FormatSize
  return bytes;
}

// A KSP_PIN for pin 0 and a KSMULTIPLE_ITEM of the ranges, each padded to 8.
Bytes IntersectionRequest(const std::vector<Bytes>& ranges) {
  KSP_PIN pin{};
  pin.Property.Set = KSPROPSETID_Pin;
  pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  pin.Property.Flags = KSPROPERTY_TYPE_GET;
  Bytes list(sizeof(KSMULTIPLE_ITEM), 0);
  for (size_t i = 0; i < ranges.size(); ++i) {
    list.insert(list.end(), ranges[i].begin(), ranges[i].end());
    if (i + 1 < ranges.size()) list.resize((list.size() + 7) & ~size_t(7), 0);
  }
  KSMULTIPLE_ITEM header{ULONG(list.size()), ULONG(ranges.size())};
  memcpy(list.data(), &header, sizeof(header));
  Bytes request(sizeof(pin));
  memcpy(request.data(), &pin, sizeof(pin));
  request.insert(request.end(), list.begin(), list.end());
  return request;
}

struct Result {
  NTSTATUS status;
  ULONG information;
  Bytes format;
  const KSDATAFORMAT& Head() const { return *reinterpret_cast<const KSDATAFORMAT*>(format.data()); }
  const KS_VIDEOINFOHEADER& Header() const {
    return *reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
  }
};

class Negotiation : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ClearPoolFaults();
    baseline_ = host::PoolLiveAllocations();
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    ctx_ = system_.Context();
  }
  void TearDown() override {
    if (filter_ != nullptr) system_.KsDevice().CloseFilter(filter_);
    system_.StopDevice();
    system_.RemoveDevice();
    host::ClearPoolFaults();
    EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "pool allocations leaked";
  }

  PKSFILTER Filter() {
    if (filter_ == nullptr) {
      NTSTATUS status;
      filter_ = system_.KsDevice().OpenFilter(&status);
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    return filter_;
  }

  // The range the capture pin offers, as a client reads it from the filter.
  static KS_DATARANGE_VIDEO OfferedRange(PKSFILTER filter) {
    const KSPIN_DESCRIPTOR& pin = filter->Descriptor->PinDescriptors[0].PinDescriptor;
    EXPECT_EQ(pin.DataRangesCount, 1u);
    KS_DATARANGE_VIDEO range;
    memcpy(&range, pin.DataRanges[0], sizeof(range));
    return range;
  }
  KS_DATARANGE_VIDEO Offered() { return OfferedRange(Filter()); }

  Result Intersect(const std::vector<Bytes>& ranges, ULONG formatBytes, PKSFILTER filter = nullptr) {
    return IntersectRequest(IntersectionRequest(ranges), formatBytes, filter);
  }
  Result IntersectRequest(const Bytes& request, ULONG formatBytes, PKSFILTER filter = nullptr) {
    Result result{};
    result.format.assign(formatBytes, 0xEE);
    result.status = system_.KsDevice().PinDataIntersection(filter ? filter : Filter(), request.data(),
                                                           ULONG(request.size()), result.format.data(),
                                                           formatBytes, &result.information);
    return result;
  }
  Result IntersectOne(const Bytes& range, ULONG formatBytes = 152) { return Intersect({range}, formatBytes); }

  CameraSystem system_;
  DeviceContext* ctx_ = nullptr;
  PKSFILTER filter_ = nullptr;
  uint64_t baseline_ = 0;
};

// The filter's private descriptor is the shared one with the device's range:
// every other member survives the copy, and the copies go with the filter.
TEST_F(Negotiation, FilterDescriptorIsAPrivateCopyWithTheDevicesRange) {
  uint64_t copiesBefore = host::PoolLiveAllocations("Vwrk");
  const KSFILTER_DESCRIPTOR* descriptor = Filter()->Descriptor;
  EXPECT_EQ(host::PoolLiveAllocations("Vwrk"), copiesBefore + 3) << "filter, pin and range-list copies";
  ASSERT_NE(descriptor, &kFilterDescriptor);
  const KSPIN_DESCRIPTOR_EX& pin = descriptor->PinDescriptors[0];
  EXPECT_EQ(pin.Flags, ULONG(KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY));
  EXPECT_EQ(pin.PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(pin.PinDescriptor.Communication, KSPIN_COMMUNICATION_BOTH);
  EXPECT_EQ(pin.PinDescriptor.DataRanges[0], &ctx_->videoRange.DataRange);
  // Compared with the driver's static tables, which only the host build
  // shares with this program.
  if (kscam_test::RunsHostBuild()) {
    EXPECT_EQ(memcmp(descriptor, &kFilterDescriptor, offsetof(KSFILTER_DESCRIPTOR, PinDescriptors)), 0);
    EXPECT_EQ(memcmp(&descriptor->CategoriesCount, &kFilterDescriptor.CategoriesCount,
                     sizeof(KSFILTER_DESCRIPTOR) - offsetof(KSFILTER_DESCRIPTOR, CategoriesCount)),
              0);
    const KSPIN_DESCRIPTOR_EX& shared = kFilterDescriptor.PinDescriptors[0];
    ASSERT_NE(&pin, &shared);
    EXPECT_EQ(pin.IntersectHandler, &IntersectVideoRange);
    EXPECT_EQ(pin.AllocatorFraming, &kAllocatorFramingTemplate);
    EXPECT_EQ(memcmp(&pin.Flags, &shared.Flags, sizeof(KSPIN_DESCRIPTOR_EX) - offsetof(KSPIN_DESCRIPTOR_EX, Flags)), 0);
  }
  system_.KsDevice().CloseFilter(filter_);
  filter_ = nullptr;
  EXPECT_EQ(host::PoolLiveAllocations("Vwrk"), copiesBefore);
}

TEST_F(Negotiation, SizeQueryAndBufferSizes) {
  Bytes range = RangeBytes(Offered());
  Result query = IntersectOne(range, 0);
  EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(query.information, 152u);

  Result small = IntersectOne(range, 151);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.information, 0u);

  Result larger = IntersectOne(range, 400);
  EXPECT_EQ(larger.status, STATUS_SUCCESS);
  EXPECT_EQ(larger.information, 152u);
  EXPECT_EQ(larger.format[152], 0xEE) << "nothing past the format is written";
}

TEST_F(Negotiation, ThePinsOwnRangeGivesTheFullFrame) {
  KS_DATARANGE_VIDEO offered = Offered();
  EXPECT_EQ(offered.DataRange.FormatSize, 296u);
  EXPECT_EQ(offered.ConfigCaps.MaxOutputSize.cx, 2560);
  EXPECT_EQ(ULONG(offered.ConfigCaps.MaxBitsPerSecond), 423624704u);
  EXPECT_TRUE(offered.bTemporalCompression);

  Result result = IntersectOne(RangeBytes(offered));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 152u);
  EXPECT_EQ(result.Head().FormatSize, 152u);
  EXPECT_TRUE(IsEqualGUID(result.Head().MajorFormat, kFormatTypeVideo));
  EXPECT_TRUE(IsEqualGUID(result.Head().SubFormat, kFormatSubtypeRgb32));
  EXPECT_TRUE(IsEqualGUID(result.Head().Specifier, kFormatSpecifierVideoInfo));
  EXPECT_EQ(result.Head().SampleSize, 19660800u);
  const KS_VIDEOINFOHEADER& header = result.Header();
  EXPECT_EQ(header.bmiHeader.biWidth, 2560);
  EXPECT_EQ(header.bmiHeader.biHeight, 1920);
  EXPECT_EQ(header.bmiHeader.biBitCount, 32);
  EXPECT_EQ(header.bmiHeader.biSizeImage, 19660800u);
  EXPECT_EQ(header.AvgTimePerFrame, 333333);
  EXPECT_EQ(header.dwBitRate, 589824000u);
  EXPECT_EQ(header.rcSource.right, 2560);
}

// The client's bitmap header passes through; only the image size is the
// handler's: rows padded to 4 bytes, |biHeight| of them.
TEST_F(Negotiation, ImageSizeFollowsTheCallersBitmapHeader) {
  const struct {
    LONG width, height;
    WORD bits;
    ULONG image;
  } cases[] = {
      {2560, 1920, 24, 14745600u},        // 24 bits: three bytes a pixel
      {2560, -1920, 32, 19660800u},       // top-down: as many rows
      {2568, 1920, 32, 10272u * 1920u},   // a longer row than the image
      {2561, 1920, 24, 7684u * 1920u},    // 7683 bytes of pixels, padded to 7684
      {2563, 1, 8, 2564u},                // padding of three bytes
      {33, 2, 1, 16u},                    // 33 bits: one bit into the fifth byte
      {0x40000000, 1920, 32, 0u},         // row bits wrap to 0
      {1, INT_MIN, 32, 0u},               // rows times row bytes wrap to 0
      {-1, 1, 32, 0x1FFFFFFCu},           // a negative width is only a number
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " x " << c.bits);
    KS_DATARANGE_VIDEO range = Offered();
    range.VideoInfoHeader.bmiHeader.biWidth = c.width;
    range.VideoInfoHeader.bmiHeader.biHeight = c.height;
    range.VideoInfoHeader.bmiHeader.biBitCount = c.bits;
    Result result = IntersectOne(RangeBytes(range));
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.Head().SampleSize, c.image);
    EXPECT_EQ(result.Header().bmiHeader.biSizeImage, c.image);
    EXPECT_EQ(result.Header().bmiHeader.biWidth, c.width);
    EXPECT_EQ(result.Header().bmiHeader.biHeight, c.height) << "the sign of the height is kept";
    EXPECT_EQ(result.Header().bmiHeader.biBitCount, c.bits);
  }
}

TEST_F(Negotiation, EveryCapabilityByteAndFlagMustMatch) {
  const KS_DATARANGE_VIDEO offered = Offered();
  for (size_t i = 0; i < sizeof(KS_VIDEO_STREAM_CONFIG_CAPS); ++i) {
    KS_DATARANGE_VIDEO range = offered;
    reinterpret_cast<uint8_t*>(&range.ConfigCaps)[i] ^= 0x01;
    EXPECT_EQ(IntersectOne(RangeBytes(range)).status, STATUS_NO_MATCH) << "capability byte " << i;
  }
  const size_t flags[] = {offsetof(KS_DATARANGE_VIDEO, bFixedSizeSamples),
                          offsetof(KS_DATARANGE_VIDEO, bTemporalCompression),
                          offsetof(KS_DATARANGE_VIDEO, StreamDescriptionFlags),
                          offsetof(KS_DATARANGE_VIDEO, MemoryAllocationFlags)};
  for (size_t offset : flags) {
    KS_DATARANGE_VIDEO range = offered;
    reinterpret_cast<uint8_t*>(&range)[offset] ^= 0x01;
    EXPECT_EQ(IntersectOne(RangeBytes(range)).status, STATUS_NO_MATCH) << "flag at " << offset;
  }
}

TEST_F(Negotiation, SubsampledGeometryIsWhatTheRangeOffers) {
  const KS_DATARANGE_VIDEO full = Offered();
  system_.KsDevice().CloseFilter(filter_);
  filter_ = nullptr;
  SetGeometry(ctx_, 0, 0, 0, 0, 2);
  KS_DATARANGE_VIDEO range = Offered();
  EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cx, 640);
  EXPECT_EQ(range.ConfigCaps.MaxOutputSize.cy, 480);
  EXPECT_EQ(range.DataRange.SampleSize, 1228800u);
  EXPECT_EQ(ULONG(range.ConfigCaps.MaxBitsPerSecond), 294912000u);
  EXPECT_EQ(range.VideoInfoHeader.dwBitRate, 36864000u);
  EXPECT_EQ(IntersectOne(RangeBytes(full)).status, STATUS_NO_MATCH);
  Result result = IntersectOne(RangeBytes(range));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.Head().SampleSize, 1228800u);
  EXPECT_EQ(result.Header().bmiHeader.biWidth, 640);
}

// Bitmap headers that would take the copy past the client's range, or leave
// no room for the image size in the format.
TEST_F(Negotiation, BitmapHeaderSizesOutsideTheRangeAreRefused) {
  const struct {
    DWORD biSize;
    ULONG extra;  // bytes of the range past its 296
    NTSTATUS status;
    ULONG formatBytes;
  } cases[] = {
      {0xFFFFFFFFu, 0, STATUS_INVALID_PARAMETER, 0},  // n + 48 wraps
      {0xFFFFFFD0u, 0, STATUS_INVALID_PARAMETER, 0},  // n + 48 is exactly 2^32
      {0xFFFFFF00u, 0, STATUS_INVALID_PARAMETER, 0},  // n + 256 wraps
      {41, 0, STATUS_INVALID_PARAMETER, 0},           // one byte past the range
      {41, 1, STATUS_SUCCESS, 153},
      {1000, 960, STATUS_SUCCESS, 1112},
      {1000, 959, STATUS_INVALID_PARAMETER, 0},
      {0, 0, STATUS_INVALID_PARAMETER, 0},   // no room for the image size
      {39, 0, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "biSize " << c.biSize << ", " << c.extra << " extra bytes");
    KS_DATARANGE_VIDEO range = Offered();
    range.VideoInfoHeader.bmiHeader.biSize = c.biSize;
    Bytes bytes = RangeBytes(range, c.extra);
    Result query = IntersectOne(bytes, 0);
    EXPECT_EQ(query.status, c.status == STATUS_SUCCESS ? STATUS_BUFFER_OVERFLOW : c.status);
    Result result = IntersectOne(bytes, c.formatBytes + 8);
    EXPECT_EQ(result.status, c.status);
    if (c.status != STATUS_SUCCESS) continue;
    EXPECT_EQ(query.information, c.formatBytes);
    EXPECT_EQ(result.information, c.formatBytes);
    // Everything but the image size is the caller's header, byte for byte.
    const ULONG imageField = 112 + offsetof(KS_BITMAPINFOHEADER, biSizeImage);
    EXPECT_EQ(memcmp(result.format.data() + 64, bytes.data() + kBitmapOffset - 48, imageField - 64), 0);
    EXPECT_EQ(memcmp(result.format.data() + imageField + 4, bytes.data() + kBitmapOffset + 24, c.formatBytes - imageField - 4), 0);
    EXPECT_EQ(result.format[c.formatBytes - 1], 0xA5) << "the last byte of the header is the caller's";
  }
}

TEST_F(Negotiation, RangesOfAnotherKindAreNoMatch) {
  KS_DATARANGE_VIDEO offered = Offered();
  KS_DATARANGE_VIDEO audio = offered;
  audio.DataRange.MajorFormat = GUID{0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  EXPECT_EQ(IntersectOne(RangeBytes(audio)).status, STATUS_NO_MATCH);

  // A wildcard specifier reaches the handler, which wants the video info one.
  KS_DATARANGE_VIDEO anySpecifier = offered;
  anySpecifier.DataRange.Specifier = kNullGuid;
  EXPECT_EQ(IntersectOne(RangeBytes(anySpecifier)).status, STATUS_NO_MATCH);

  // Wildcard major and subformat get the pin's own in the format.
  KS_DATARANGE_VIDEO anyFormat = offered;
  anyFormat.DataRange.MajorFormat = kNullGuid;
  anyFormat.DataRange.SubFormat = kNullGuid;
  Result result = IntersectOne(RangeBytes(anyFormat));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUID(result.Head().SubFormat, kFormatSubtypeRgb32));

  // A short range that claims our kind: the handler reads nothing past it.
  for (ULONG size : {64u, 88u, 295u}) {
    Bytes shortRange = RangeBytes(offered);
    shortRange.resize(size);
    memcpy(shortRange.data(), &size, sizeof(size));
    EXPECT_EQ(IntersectOne(shortRange).status, STATUS_NO_MATCH) << size << " bytes";
  }

  // The first range that matches decides.
  result = Intersect({RangeBytes(audio), RangeBytes(anySpecifier), RangeBytes(offered)}, 152);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
}

// Called directly, the handler refuses another major format even with the
// video info specifier, which the class driver never lets through.
TEST_F(Negotiation, HandlerRefusesAnotherMajorFormatItself) {
  KS_DATARANGE_VIDEO offered = Offered();
  KS_DATARANGE_VIDEO other = offered;
  other.DataRange.MajorFormat.Data1 ^= 1;
  ULONG size = 0;
  uint8_t format[152];
  EXPECT_EQ(IntersectVideoRange(Filter(), nullptr, nullptr, &other.DataRange, &offered.DataRange, sizeof(format),
                                format, &size),
            STATUS_NO_MATCH);
  EXPECT_EQ(size, 0u);
}

TEST_F(Negotiation, MalformedRequestsNeverReachTheHandler) {
  Bytes good = IntersectionRequest({RangeBytes(Offered())});
  auto withList = [&](ULONG size, ULONG count) {
    Bytes request = good;
    KSMULTIPLE_ITEM header{size, count};
    memcpy(request.data() + sizeof(KSP_PIN), &header, sizeof(header));
    return IntersectRequest(request, 152).status;
  };
  EXPECT_EQ(withList(8 + 296, 1), STATUS_SUCCESS);
  EXPECT_EQ(withList(8 + 297, 1), STATUS_INVALID_PARAMETER) << "list longer than the request";
  EXPECT_EQ(withList(8 + 295, 1), STATUS_INVALID_PARAMETER) << "range longer than the list";
  EXPECT_EQ(withList(8 + 296, 2), STATUS_INVALID_PARAMETER) << "more ranges than the list holds";
  EXPECT_EQ(withList(8 + 296, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(withList(4, 1), STATUS_INVALID_PARAMETER);

  Bytes truncated(good.begin(), good.begin() + sizeof(KSP_PIN) + 4);
  EXPECT_EQ(IntersectRequest(truncated, 152).status, STATUS_BUFFER_TOO_SMALL);
  Bytes otherPin = good;
  otherPin[offsetof(KSP_PIN, PinId)] = 1;
  EXPECT_EQ(IntersectRequest(otherPin, 152).status, STATUS_INVALID_PARAMETER);
}

// With two cameras at different sizes each filter offers its own camera's
// range, and a format negotiated on one never matches the other.
TEST(NegotiationTwoCameras, EachFilterOffersItsOwnDevicesSize) {
  uint64_t baseline = host::PoolLiveAllocations();
  {
    CameraSystem full, small;
    ASSERT_EQ(full.BringUp(), STATUS_SUCCESS);
    ASSERT_EQ(small.BringUp(), STATUS_SUCCESS);
    SetGeometry(small.Context(), 0, 0, 0, 0, 3);
    NTSTATUS status;
    PKSFILTER fullFilter = full.KsDevice().OpenFilter(&status);
    PKSFILTER smallFilter = small.KsDevice().OpenFilter(&status);
    ASSERT_NE(fullFilter, nullptr);
    ASSERT_NE(smallFilter, nullptr);
    EXPECT_NE(fullFilter->Descriptor, &kFilterDescriptor) << "each filter has a descriptor of its own";

    auto offered = [](PKSFILTER filter) {
      KS_DATARANGE_VIDEO range;
      memcpy(&range, filter->Descriptor->PinDescriptors[0].PinDescriptor.DataRanges[0], sizeof(range));
      return range;
    };
    KS_DATARANGE_VIDEO fullRange = offered(fullFilter), smallRange = offered(smallFilter);
    EXPECT_EQ(fullRange.VideoInfoHeader.bmiHeader.biWidth, 2560);
    EXPECT_EQ(smallRange.VideoInfoHeader.bmiHeader.biWidth, 320);
    EXPECT_EQ(smallRange.DataRange.SampleSize, 307200u);

    auto intersect = [](CameraSystem& system, PKSFILTER filter, const KS_DATARANGE_VIDEO& range, Bytes* format) {
      Bytes request = IntersectionRequest({RangeBytes(range)});
      format->assign(152, 0);
      ULONG information = 0;
      return system.KsDevice().PinDataIntersection(filter, request.data(), ULONG(request.size()), format->data(),
                                                   152, &information);
    };
    Bytes format;
    ASSERT_EQ(intersect(small, smallFilter, smallRange, &format), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KSDATAFORMAT*>(format.data())->SampleSize, 307200u);
    ASSERT_EQ(intersect(full, fullFilter, fullRange, &format), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KSDATAFORMAT*>(format.data())->SampleSize, 19660800u);
    EXPECT_EQ(intersect(full, fullFilter, smallRange, &format), STATUS_NO_MATCH);
    EXPECT_EQ(intersect(small, smallFilter, fullRange, &format), STATUS_NO_MATCH);
    EXPECT_EQ(kFilterDescriptor.PinDescriptors[0].PinDescriptor.DataRanges[0], &kVideoDataRangeTemplate.DataRange)
        << "the shared descriptor is never written";
    EXPECT_EQ(full.KsDevice().CloseFilter(fullFilter), STATUS_SUCCESS);
    EXPECT_EQ(small.KsDevice().CloseFilter(smallFilter), STATUS_SUCCESS);
  }
  EXPECT_EQ(host::PoolLiveAllocations(), baseline);
}

// Every allocation of a filter's create failing in turn: the create fails
// with the allocation's status and leaves nothing behind.
TEST_F(Negotiation, FilterCreateSurvivesEveryAllocationFailure) {
  uint64_t before = host::PoolLiveAllocations();
  bool succeeded = false;
  for (uint64_t n = 1; n < 20 && !succeeded; ++n) {
    host::FailNthAllocation(n);
    NTSTATUS status;
    PKSFILTER filter = system_.KsDevice().OpenFilter(&status);
    host::ClearPoolFaults();
    if (filter != nullptr) {
      succeeded = true;
      EXPECT_EQ(OfferedRange(filter).VideoInfoHeader.bmiHeader.biWidth, 2560);
      EXPECT_EQ(system_.KsDevice().CloseFilter(filter), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
    }
    EXPECT_EQ(host::PoolLiveAllocations(), before) << "allocation " << n;
  }
  EXPECT_TRUE(succeeded);
}

}  // namespace
