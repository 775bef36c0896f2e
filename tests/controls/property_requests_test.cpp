// Property requests that are malformed in every way a client can get wrong:
// each gets its status before any handler runs, changes nothing and touches
// nothing outside the client's buffers; and a seeded fuzz of every property.
#include <random>
#include <vector>

#include "controls_rig.h"
#include "usb/frame_transfer.h"

namespace controls_test {
namespace {

// Every setting the property set can change, and what the camera was sent.
struct State {
  std::vector<LONG> fields;
  size_t commands;
  bool operator==(const State& other) const { return fields == other.fields && commands == other.commands; }
};

class PropertyRequests : public ControlsRig {
 protected:
  State Snapshot() {
    DeviceContext* c = ctx_;
    return State{{c->exTrigger, c->frameTimeoutMs, LONG(c->exposure), LONG(c->globalGain), c->flipH, c->flipV,
                  LONG(c->colourEnable), c->whiteBalance, LONG(c->redGain), LONG(c->greenGain), LONG(c->blueGain),
                  LONG(c->colourCorrection), LONG(c->brightness), LONG(c->contrast), LONG(c->saturation),
                  LONG(c->hue), c->subSample, c->roiX, c->roiY, c->roiWidth, c->roiHeight, c->halfClock, c->agc,
                  c->aec, transferTimeoutMs, c->pinOpen},
                 system_.Camera()->Commands().size()};
  }
  // Sends the request with guard bytes after both buffers, and checks that
  // neither the guards nor (on failure) the data changed.
  NTSTATUS Guarded(const CameraRoiValue& request, ULONG requestBytes, const CameraRoiValue& data, ULONG dataBytes,
                   ULONG* information) {
    std::vector<UCHAR> in(requestBytes + 16, 0xA5), out(dataBytes + 16, 0x5A);
    memcpy(in.data(), &request, std::min<size_t>(requestBytes, sizeof(request)));
    memcpy(out.data(), &data, std::min<size_t>(dataBytes, sizeof(data)));
    std::vector<UCHAR> before = out;
    NTSTATUS status = Request(in.data(), requestBytes, out.data(), dataBytes, information);
    for (size_t i = requestBytes; i < in.size(); ++i) EXPECT_EQ(in[i], 0xA5) << "request byte " << i;
    for (size_t i = dataBytes; i < out.size(); ++i) EXPECT_EQ(out[i], 0x5A) << "data byte " << i;
    if (!NT_SUCCESS(status)) EXPECT_EQ(out, before) << "a refused request wrote the client's data";
    return status;
  }
};

CameraRoiValue Roi(ULONG id, ULONG flags, LONG value = 0) {
  CameraRoiValue record = {};
  record.property.Set = kCameraPropertySet;
  record.property.Id = id;
  record.property.Flags = flags;
  record.mode = value;
  return record;
}

TEST_F(PropertyRequests, ShortBuffersAreRefusedBeforeAnyHandlerRuns) {
  State before = Snapshot();
  for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
    for (ULONG flags : {ULONG(KSPROPERTY_TYPE_GET), ULONG(KSPROPERTY_TYPE_SET)}) {
      if (!(flags == KSPROPERTY_TYPE_GET ? HasGet(id) : HasSet(id))) continue;
      SCOPED_TRACE(testing::Message() << "id " << id << " flags " << flags);
      CameraRoiValue record = Roi(id, flags, 7);
      ULONG minimum = MinimumBytes(id);
      ULONG information = 99;
      EXPECT_EQ(Guarded(record, minimum, record, 0, &information), STATUS_BUFFER_OVERFLOW);
      EXPECT_EQ(information, minimum) << "a size query is told the minimum";
      EXPECT_EQ(Guarded(record, minimum, record, minimum - 1, &information), STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(Guarded(record, minimum, record, 1, &information), STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(Guarded(record, minimum - 1, record, minimum, &information), STATUS_INVALID_BUFFER_SIZE);
      EXPECT_EQ(Guarded(record, 23, record, minimum, &information), STATUS_INVALID_BUFFER_SIZE);
      EXPECT_EQ(Request(&record, minimum, nullptr, minimum, &information), STATUS_ACCESS_VIOLATION);
      EXPECT_EQ(information, 0u);
    }
  }
  EXPECT_TRUE(Snapshot() == before);
}

TEST_F(PropertyRequests, UnknownItemsFlagsAndOperationsHaveTheirOwnStatus) {
  State before = Snapshot();
  ULONG information = 0;
  for (ULONG id : {57u, 58u, 1000u, 0xFFFFFFFFu}) {
    CameraRoiValue record = Roi(id, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(Guarded(record, 48, record, 48, &information), STATUS_NOT_FOUND) << id;
  }
  CameraRoiValue otherSet = Roi(2, KSPROPERTY_TYPE_GET);
  otherSet.property.Set.Data1 ^= 1;
  EXPECT_EQ(Guarded(otherSet, 48, otherSet, 48, &information), STATUS_PROPSET_NOT_FOUND);
  for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
    for (ULONG flags : {0u, 3u, 4u, 0x100u, 0x80000000u, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY)}) {
      CameraRoiValue record = Roi(id, flags, 5);
      EXPECT_EQ(Guarded(record, 48, record, 48, &information), STATUS_INVALID_PARAMETER) << id << " " << flags;
    }
    // What the item has no handler for is refused by the table itself.
    if (!HasGet(id)) {
      CameraRoiValue get = Roi(id, KSPROPERTY_TYPE_GET);
      EXPECT_EQ(Guarded(get, 48, get, 48, &information), STATUS_INVALID_DEVICE_REQUEST) << id;
    }
    if (!HasSet(id)) {
      CameraRoiValue set = Roi(id, KSPROPERTY_TYPE_SET, 1);
      EXPECT_EQ(Guarded(set, 48, set, 48, &information), STATUS_INVALID_DEVICE_REQUEST) << id;
    }
  }
  EXPECT_TRUE(Snapshot() == before);
}

// Which properties can be read and written, as basic support reports it.
TEST_F(PropertyRequests, BasicSupportReportsTheAccessOfEachProperty) {
  const ULONG readWrite[] = {0, 1, 2, 6, 10, 11, 12, 13, 14, 15, 16, 20, 24, 28, 32, 48, 49, 55, 56};
  const ULONG writeOnly[] = {44, 47};
  for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
    ULONG expected = KSPROPERTY_TYPE_GET;
    for (ULONG rw : readWrite)
      if (rw == id) expected = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    for (ULONG wo : writeOnly)
      if (wo == id) expected = KSPROPERTY_TYPE_SET;
    CameraRoiValue request = Roi(id, KSPROPERTY_TYPE_BASICSUPPORT);
    ULONG access = 0;
    ULONG information = 0;
    EXPECT_EQ(Request(&request, MinimumBytes(id), &access, sizeof(access), &information), STATUS_SUCCESS);
    EXPECT_EQ(access, expected) << "id " << id;
    EXPECT_EQ(information, sizeof(access));
  }
}

// Called without the class driver (as a faulty caller could), the handler
// still refuses what it cannot serve.
TEST_F(PropertyRequests, TheHandlerRefusesMissingPiecesItself) {
  CameraPropertyValue request = PropertyRecord(kPropExposure, KSPROPERTY_TYPE_GET);
  CameraPropertyValue data = request;
  EXPECT_EQ(CameraPropertyHandler(nullptr, &request.property, &data), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(CameraPropertyHandler(nullptr, &request.property, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(CameraPropertyHandler(nullptr, nullptr, &data), STATUS_UNSUCCESSFUL);
  PIRP stray = IoAllocateIrp(4, FALSE);  // no filter sent it
  EXPECT_EQ(CameraPropertyHandler(stray, &request.property, &data), STATUS_UNSUCCESSFUL);
  IoFreeIrp(stray);
  // Constants need no device, only somewhere to write.
  CameraPropertyValue constant = PropertyRecord(kPropBrightnessMaximum, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(CameraPropertyHandler(nullptr, &constant.property, &data), STATUS_SUCCESS);
  EXPECT_EQ(data.value, 510);
  EXPECT_EQ(CameraPropertyHandler(nullptr, &constant.property, nullptr), STATUS_UNSUCCESSFUL);
  // A set of a read-only property, and flags that are not exactly a set.
  CameraPropertyValue set = PropertyRecord(kPropBrightnessMaximum, KSPROPERTY_TYPE_SET, 3);
  EXPECT_EQ(CameraPropertyHandler(nullptr, &set.property, &set), STATUS_INVALID_DEVICE_REQUEST);
  CameraPropertyValue odd = PropertyRecord(kPropBrightnessMaximum, KSPROPERTY_TYPE_SET | 8, 3);
  EXPECT_EQ(CameraPropertyHandler(nullptr, &odd.property, &odd), STATUS_SUCCESS);
  EXPECT_EQ(odd.value, 510) << "anything but exactly a set is a get";
  CameraPropertyValue unknown = PropertyRecord(kCameraPropertyCount, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(CameraPropertyHandler(nullptr, &unknown.property, &data), STATUS_NOT_FOUND);
}

// Each property, read 1,024 times and written 1,024 times with random values
// and buffer sizes, repeatably. The status follows from the sizes alone; the settings
// never leave their ranges.
TEST_F(PropertyRequests, SeededFuzzOfEveryProperty) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> size(0, 64);
  std::uniform_int_distribution<int> coin(0, 3);
  const LONG interesting[] = {0, 1, -1, 500, 501, 512, 513, 6400, 6401, 359, 360, 0x7FFFFFFF, LONG(0x80000000)};
  for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
    SCOPED_TRACE(testing::Message() << "id " << id);
    for (int round = 0; round < 2 * 1024; ++round) {
      ULONG flags = round % 2 == 0 ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
      LONG value = coin(random) == 0 ? interesting[random() % 13] : LONG(random());
      ULONG requestBytes = coin(random) == 0 ? ULONG(size(random)) : MinimumBytes(id);
      ULONG dataBytes = coin(random) == 0 ? ULONG(size(random)) : MinimumBytes(id);
      CameraRoiValue record = Roi(id, flags, value);
      record.left = LONG(random());
      record.top = LONG(random());
      record.width = LONG(random());
      record.height = LONG(random());
      ULONG information = 0;
      NTSTATUS status = Guarded(record, requestBytes, record, dataBytes, &information);
      bool offered = flags == KSPROPERTY_TYPE_GET ? HasGet(id) : HasSet(id);
      NTSTATUS expected = requestBytes < MinimumBytes(id) ? STATUS_INVALID_BUFFER_SIZE
                          : !offered                     ? STATUS_INVALID_DEVICE_REQUEST
                          : dataBytes == 0               ? STATUS_BUFFER_OVERFLOW
                          : dataBytes < MinimumBytes(id) ? STATUS_BUFFER_TOO_SMALL
                                                         : STATUS_SUCCESS;
      if (requestBytes < sizeof(KSPROPERTY)) expected = STATUS_INVALID_BUFFER_SIZE;
      ASSERT_EQ(status, expected) << "round " << round;
      ASSERT_LE(ctx_->brightness, 510u);
      ASSERT_LE(ctx_->contrast, 20u);
      ASSERT_LE(ctx_->saturation, 20u);
      ASSERT_LE(ctx_->hue, 359u);
      ASSERT_LE(ctx_->redGain, 512u);
      ASSERT_LE(ctx_->greenGain, 512u);
      ASSERT_LE(ctx_->blueGain, 512u);
      ASSERT_LE(ctx_->globalGain, 63u);
      ASSERT_GE(ctx_->exposure, 1u);
      ASSERT_LE(ctx_->exposure, 6400u);
      ASSERT_GE(ctx_->roiWidth, 32);
      ASSERT_LE(ctx_->roiX + ctx_->roiWidth, 2560);
      ASSERT_LE(ctx_->roiY + ctx_->roiHeight, 1920);
      ASSERT_GT(ULONG(ctx_->frameTimeoutMs), 500u);
    }
  }
  for (int round = 0; round < 16; ++round) {
    LONG value = LONG(random()) % 3;
    Set(kPropHalfClock, value);
    EXPECT_EQ(Get(kPropHalfClock), value != 0 ? 1 : 0);
  }
}

}  // namespace
}  // namespace controls_test
