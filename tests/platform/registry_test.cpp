// The host registry as the driver meets it: the platform's statuses for
// small buffers and refused access, names without case, handles that are
// all closed again, and a kernel handle demanded of every key.
#include <gtest/gtest.h>

#include "platform/src/handles.h"
#include "platform/registry_host.h"
#include "tools/client/camera_system.h"

namespace {

class HostRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    host::SetDeviceInstance(&pdo_, "TEST\\DEVICE\\1");
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &driver_), STATUS_SUCCESS);
  }
  void TearDown() override {
    ZwClose(driver_);
    host::ForgetDeviceInstance(&pdo_);
  }
  NTSTATUS Create(HANDLE parent, const char16_t* name, ACCESS_MASK access, HANDLE* key, ULONG* disposition = nullptr,
                  ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE) {
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, name);
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &unicode, attributes, parent, nullptr);
    return ZwCreateKey(key, access, &object, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
  }
  NTSTATUS SetDword(HANDLE key, const char16_t* name, ULONG value) {
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, name);
    return ZwSetValueKey(key, &unicode, 0, REG_DWORD, &value, sizeof(value));
  }
  NTSTATUS Query(HANDLE key, const char16_t* name, void* buffer, ULONG bytes, ULONG* needed) {
    UNICODE_STRING unicode;
    RtlInitUnicodeString(&unicode, name);
    return ZwQueryValueKey(key, &unicode, KeyValuePartialInformation, buffer, bytes, needed);
  }

  DEVICE_OBJECT pdo_{};
  HANDLE driver_ = nullptr;
};

TEST_F(HostRegistry, QueriesAnswerSmallBuffersAsThePlatformDoes) {
  HANDLE key;
  ULONG disposition = 0;
  ASSERT_EQ(Create(driver_, u"Settings", KEY_ALL_ACCESS, &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  ASSERT_EQ(SetDword(key, u"Brightness", 0x01020304), STATUS_SUCCESS);
  UCHAR buffer[32];
  memset(buffer, 0xEE, sizeof(buffer));
  ULONG needed = 0;
  EXPECT_EQ(Query(key, u"bRIGHTNESS", buffer, 11, &needed), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 16u);
  EXPECT_EQ(buffer[0], 0xEE) << "nothing is written when not even the header fits";
  EXPECT_EQ(Query(key, u"Brightness", buffer, 15, &needed), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, 16u);
  auto* information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(information->Type, ULONG(REG_DWORD));
  EXPECT_EQ(information->DataLength, 4u);
  EXPECT_EQ(buffer[12], 0xEE) << "the data goes out only whole";
  EXPECT_EQ(Query(key, u"Brightness", buffer, 16, &needed), STATUS_SUCCESS);
  EXPECT_EQ(buffer[12], 0x04);
  EXPECT_EQ(buffer[16], 0xEE);
  EXPECT_EQ(Query(key, u"Missing", buffer, 32, &needed), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
  ASSERT_EQ(Create(driver_, u"SETTINGS", KEY_READ, &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  ZwClose(key);
}

TEST_F(HostRegistry, AccessIsCheckedAgainstTheHandle) {
  HANDLE readOnly, writeOnly;
  ASSERT_EQ(Create(driver_, u"Settings", KEY_QUERY_VALUE, &readOnly), STATUS_SUCCESS);
  ASSERT_EQ(Create(driver_, u"Settings", KEY_SET_VALUE, &writeOnly), STATUS_SUCCESS);
  EXPECT_EQ(SetDword(readOnly, u"Hue", 1), STATUS_ACCESS_DENIED);
  EXPECT_EQ(SetDword(writeOnly, u"Hue", 1), STATUS_SUCCESS);
  ULONG buffer[5];
  ULONG needed;
  EXPECT_EQ(Query(writeOnly, u"Hue", buffer, sizeof(buffer), &needed), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Query(readOnly, u"Hue", buffer, sizeof(buffer), &needed), STATUS_SUCCESS);
  HANDLE driverForReading;
  ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_READ, &driverForReading),
            STATUS_SUCCESS);
  EXPECT_EQ(SetDword(driverForReading, u"Hue", 1), STATUS_ACCESS_DENIED);
  ZwClose(driverForReading);
  ZwClose(readOnly);
  ZwClose(writeOnly);
}

TEST_F(HostRegistry, MalformedCallsGetAStatus) {
  HANDLE key = nullptr;
  DEVICE_OBJECT unknown{};
  EXPECT_EQ(IoOpenDeviceRegistryKey(&unknown, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Create(driver_, u"", KEY_ALL_ACCESS, &key), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(reinterpret_cast<HANDLE>(0x7777), u"Settings", KEY_ALL_ACCESS, &key), STATUS_INVALID_HANDLE);
  UNICODE_STRING odd = {3, 4, const_cast<PWSTR>(u"ab")};
  ULONG value = 1;
  EXPECT_EQ(ZwSetValueKey(driver_, &odd, 0, REG_DWORD, &value, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetDword(reinterpret_cast<HANDLE>(0x7777), u"Hue", 1), STATUS_INVALID_HANDLE);
}

TEST_F(HostRegistry, KeysWithoutAKernelHandleFault) {
  EXPECT_DEATH(
      {
        HANDLE key;
        Create(driver_, u"Settings", KEY_ALL_ACCESS, &key, nullptr, OBJ_CASE_INSENSITIVE);
      },
      "OBJ_KERNEL_HANDLE");
}

// Loading and saving the settings closes every key it opened.
TEST(SettingsHandles, StartStopAndFilterCloseLeaveNoKeyOpen) {
  kscam::CameraSystem system;
  size_t before = host::OpenHandleCount();
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  NTSTATUS status;
  PKSFILTER filter = system.KsDevice().OpenFilter(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(system.KsDevice().CloseFilter(filter), STATUS_SUCCESS);
  system.StopDevice();
  EXPECT_EQ(host::OpenHandleCount(), before);
}

}  // namespace
