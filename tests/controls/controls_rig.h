// A started camera with one open filter, reached as a client reaches it:
// property requests through the class driver and the typed control API.
#pragma once

#include <gtest/gtest.h>

#include "controls/property_set.h"
#include "imaging/image_pipeline.h"
#include "platform/registry_host.h"
#include "tools/client/camera_controls.h"
#include "tools/client/camera_system.h"

namespace controls_test {

class ControlsRig : public ::testing::Test {
 protected:
  void SetUp() override { BringUp(); }
  void TearDown() override { DropPipeline(); }

  void BringUp() {
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    ctx_ = system_.Context();
    OpenFilter();
  }
  void OpenFilter() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = system_.KsDevice().OpenFilter(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }
  void CloseFilter() { EXPECT_EQ(system_.KsDevice().CloseFilter(filter_), STATUS_SUCCESS); }

  // A live image pipeline, as the capture pin installs one at acquire.
  ImagePipeline* InstallLivePipeline() {
    ImagePipeline* pipeline = nullptr;
    EXPECT_EQ(CreateImagePipeline(&pipeline), STATUS_SUCCESS);
    InstallPipeline(ctx_, pipeline);
    return pipeline;
  }
  void DropPipeline() {
    if (ctx_ == nullptr) return;
    ImagePipeline* left = RemovePipeline(ctx_);
    if (left != nullptr) FreeImagePipeline(left);
  }

  int32_t Get(ULONG id) {
    int32_t value = -12345;
    EXPECT_EQ(kscam::GetCameraProperty(system_.KsDevice(), filter_, id, &value), STATUS_SUCCESS) << "id " << id;
    return value;
  }
  void Set(ULONG id, int32_t value) {
    EXPECT_EQ(kscam::SetCameraProperty(system_.KsDevice(), filter_, id, value), STATUS_SUCCESS) << "id " << id;
  }
  NTSTATUS Request(const void* request, ULONG requestBytes, void* data, ULONG dataBytes, ULONG* information) {
    return kscam::SendPropertyRequest(system_.KsDevice(), filter_, request, requestBytes, data, dataBytes,
                                      information);
  }
  kscam::CameraControls Controls() { return kscam::CameraControls(system_.KsDevice(), filter_); }
  std::string SettingsPath() { return host::DriverKeyPath(system_.Bus().PhysicalDeviceObject()) + "\\Settings"; }

  kscam::CameraSystem system_;
  DeviceContext* ctx_ = nullptr;
  PKSFILTER filter_ = nullptr;
};

inline CameraPropertyValue PropertyRecord(ULONG id, ULONG flags, LONG value = 0) {
  CameraPropertyValue record = {};
  record.property.Set = kCameraPropertySet;
  record.property.Id = id;
  record.property.Flags = flags;
  record.value = value;
  return record;
}

// Whether the automation table offers get or set of a property.
inline bool HasGet(ULONG id) {
  return kCameraAutomationTable.PropertySets[0].PropertyItem[id].GetPropertyHandler != nullptr;
}
inline bool HasSet(ULONG id) {
  return kCameraAutomationTable.PropertySets[0].PropertyItem[id].SetPropertyHandler != nullptr;
}
inline ULONG MinimumBytes(ULONG id) { return id == kPropRegion ? 48 : 32; }

}  // namespace controls_test
