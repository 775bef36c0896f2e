// The settings store: what a start makes of the values it finds (none,
// out of range, of other types and sizes, an unreachable key, a damaged
// file), what a save leaves in the key, and settings that survive a filter
// close, a stop, an unplug and a new process.
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "controls/settings_store.h"
#include "controls_rig.h"
#include "tests/support/driver_under_test.h"
#include "usb/frame_transfer.h"

namespace controls_test {
namespace {

const char* const kValueNames[] = {"Timeout",    "Exposure",   "GlobalGain", "FlipH",     "FlipV",     "ColorEnable",
                                   "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
                                   "RedGain",    "GreenGain",  "BlueGain",   "AGC",       "AEC",       "ExTrigger",
                                   "HalfClock",  "SubSample",  "RoiX",       "RoiY",      "RoiW",      "RoiH"};

class SettingsStore : public ControlsRig {
 protected:
  void SetUp() override {}  // each test decides what the registry holds first
  void TearDown() override {
    ControlsRig::TearDown();
    if (!file_.empty()) {
      remove(file_.c_str());
      remove((file_ + ".damaged").c_str());
      host::UseRegistryFile("");
    }
  }
  void Store(const char* name, LONG value) { host::WriteRegistryDword(SettingsPath(), name, uint32_t(value)); }
  void StoreBytes(const char* name, uint32_t type, std::vector<uint8_t> bytes) {
    host::WriteRegistryValue(SettingsPath(), name, host::RegistryValue{type, bytes});
  }
  bool Stored(const char* name, LONG* value) {
    host::RegistryValue stored;
    if (!host::ReadRegistryValue(SettingsPath(), name, &stored)) return false;
    EXPECT_EQ(stored.type, uint32_t(REG_DWORD)) << name;
    EXPECT_EQ(stored.data.size(), 4u) << name;
    memcpy(value, stored.data.data(), 4);
    return true;
  }
  std::string UseFile() {
    file_ = ::testing::TempDir() + "kscam-registry-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    remove(file_.c_str());
    host::UseRegistryFile(file_);
    return file_;
  }
  void ExpectDefaults() {
    EXPECT_EQ(ctx_->exposure, 1u);
    EXPECT_EQ(ctx_->globalGain, 63u);
    EXPECT_EQ(system_.Camera()->Register(0x35), 63);
    EXPECT_EQ(ctx_->brightness, 255u);
    EXPECT_EQ(ctx_->contrast, 10u);
    EXPECT_EQ(ctx_->saturation, 10u);
    EXPECT_EQ(ctx_->hue, 0u);
    EXPECT_EQ(ctx_->redGain, 128u);
    EXPECT_EQ(ctx_->greenGain, 128u);
    EXPECT_EQ(ctx_->blueGain, 128u);
    EXPECT_EQ(ctx_->colourEnable, 1u);
    EXPECT_EQ(ctx_->colourCorrection, 1u);
    EXPECT_EQ(ctx_->whiteBalance, 0);
    EXPECT_EQ(ctx_->roiX, 0);
    EXPECT_EQ(ctx_->roiY, 0);
    EXPECT_EQ(ctx_->roiWidth, 2560);
    EXPECT_EQ(ctx_->roiHeight, 1920);
    EXPECT_EQ(ctx_->subSample, 0);
    EXPECT_EQ(ctx_->frameTimeoutMs, 3000);
    EXPECT_EQ(transferTimeoutMs, 3000);
  }

  std::string file_;
};

TEST_F(SettingsStore, AnEmptyKeyGivesTheDefaults) {
  BringUp();
  ExpectDefaults();
  EXPECT_TRUE(host::RegistryKeyExists(SettingsPath())) << "the key is created when absent";
}

TEST_F(SettingsStore, StoredValuesAreBroughtIntoRange) {
  const struct {
    const char* name;
    LONG stored;
    LONG DeviceContext::*field;
    LONG loaded;
  } cases[] = {
      {"Hue", 720, nullptr, 359},           {"Brightness", -3, nullptr, 0},  {"RedGain", 600, nullptr, 512},
      {"SubSample", 4, &DeviceContext::subSample, 0},  {"RoiX", 2560, &DeviceContext::roiX, 0},
      {"RoiW", 3000, &DeviceContext::roiWidth, 2560},  {"RoiY", -1, &DeviceContext::roiY, 0},
      {"Timeout", 500, &DeviceContext::frameTimeoutMs, 3000}, {"Timeout", 10000, &DeviceContext::frameTimeoutMs, 3000},
      {"Timeout", 501, &DeviceContext::frameTimeoutMs, 501},  {"Timeout", 9999, &DeviceContext::frameTimeoutMs, 9999},
      {"Contrast", 21, nullptr, 20},        {"Saturation", -100, nullptr, 0}, {"GlobalGain", 64, nullptr, 63},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " = " << c.stored);
    host::UseRegistryFile("");
    Store(c.name, c.stored);
    kscam::CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    DeviceContext* ctx = system.Context();
    LONG loaded = c.field != nullptr              ? ctx->*c.field
                  : strcmp(c.name, "Hue") == 0        ? LONG(ctx->hue)
                  : strcmp(c.name, "Brightness") == 0 ? LONG(ctx->brightness)
                  : strcmp(c.name, "RedGain") == 0    ? LONG(ctx->redGain)
                  : strcmp(c.name, "Contrast") == 0   ? LONG(ctx->contrast)
                  : strcmp(c.name, "Saturation") == 0 ? LONG(ctx->saturation)
                                                      : LONG(ctx->globalGain);
    EXPECT_EQ(loaded, c.loaded);
    if (strcmp(c.name, "Timeout") == 0 && kscam_test::RunsHostBuild()) {
      EXPECT_EQ(transferTimeoutMs, c.loaded);
    }
  }
  InterlockedExchange(&transferTimeoutMs, 3000);
}

TEST_F(SettingsStore, StoredSensorSettingsAreApplied) {
  Store("Exposure", 777);
  Store("FlipH", 1);
  Store("ExTrigger", 5);
  Store("HalfClock", 1);
  Store("SubSample", 2);
  Store("WhiteBalance", 1);
  BringUp();
  EXPECT_EQ(ctx_->exposure, 777u);
  EXPECT_EQ(system_.Camera()->Register(0x09), 777);
  EXPECT_EQ(system_.Camera()->Register(0x20) & 0xC000, 0x4000);
  EXPECT_EQ(ctx_->exTrigger, 1);
  EXPECT_TRUE(system_.Camera()->HalfClock());
  EXPECT_EQ(ctx_->imageWidth, 640);
  EXPECT_EQ(ctx_->whiteBalance, 1);
  EXPECT_EQ(ctx_->reconfigurePending, 0) << "the first frame after start is not spoiled";
}

// The first four bytes of a 4- to 8-byte value of any type; shorter and
// longer values leave the default.
TEST_F(SettingsStore, ValuesOfOtherTypesAndSizes) {
  const struct {
    uint32_t type;
    std::vector<uint8_t> bytes;
    ULONG brightness;
  } cases[] = {
      {REG_BINARY, {44, 0, 0, 0}, 44},
      {REG_QWORD, {45, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, 45},
      {REG_SZ, {46, 0, 0, 0, 0, 0}, 46},
      {REG_DWORD, {47, 0, 0}, 255},
      {REG_DWORD, {}, 255},
      {REG_BINARY, {48, 0, 0, 0, 0, 0, 0, 0, 0}, 255},
      {REG_DWORD, {0x2C, 0x01, 0, 0}, 300},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.bytes.size() << " bytes");
    host::UseRegistryFile("");
    StoreBytes("Brightness", c.type, c.bytes);
    kscam::CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    EXPECT_EQ(system.Context()->brightness, c.brightness);
  }
}

TEST_F(SettingsStore, AnUnreachableKeyLeavesTheDefaultsAndLosesNothing) {
  for (int which = 0; which < 3; ++which) {
    SCOPED_TRACE(which);
    host::UseRegistryFile("");
    Store("Brightness", 400);
    host::RegistryFaults faults;
    faults.failDeviceKey = which == 0;
    faults.failCreateKey = which == 1;
    faults.failSetValue = which == 2;
    host::SetRegistryFaults(faults);
    kscam::CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS) << "start does not depend on the settings";
    EXPECT_EQ(system.Context()->brightness, which == 2 ? 400u : 255u);
    EXPECT_EQ(SaveSettings(system.Context()), which == 2) << "writes that fail one by one are not reported";
    host::SetRegistryFaults(host::RegistryFaults());
    LONG kept = 0;
    EXPECT_TRUE(Stored("Brightness", &kept));
    EXPECT_EQ(kept, 400) << "nothing stored was lost";
  }
}

TEST_F(SettingsStore, ASaveWritesTheTwentyFourValuesAndKeepsOthers) {
  StoreBytes("SomebodyElses", REG_SZ, {'x', 0});
  Store("AGC", 1);
  BringUp();
  Set(kPropBrightness, 123);
  CloseFilter();
  std::vector<std::string> names = host::RegistryValueNames(SettingsPath());
  std::vector<std::string> expected = {"SomebodyElses"};
  expected.insert(expected.end(), std::begin(kValueNames), std::end(kValueNames));
  // Two names were there before the save; the rest follow in write order.
  std::vector<std::string> sorted = names, sortedExpected = expected;
  std::sort(sorted.begin(), sorted.end());
  std::sort(sortedExpected.begin(), sortedExpected.end());
  EXPECT_EQ(sorted, sortedExpected);
  for (const char* name : kValueNames) {
    LONG value;
    EXPECT_TRUE(Stored(name, &value)) << name;
  }
  LONG value = -1;
  ASSERT_TRUE(Stored("Brightness", &value));
  EXPECT_EQ(value, 123);
  ASSERT_TRUE(Stored("AGC", &value));
  EXPECT_EQ(value, 0) << "the stored AGC is read and dropped";
  host::RegistryValue other;
  ASSERT_TRUE(host::ReadRegistryValue(SettingsPath(), "SomebodyElses", &other));
  EXPECT_EQ(other.type, uint32_t(REG_SZ));
}

TEST_F(SettingsStore, SettingsSurviveCloseStopUnplugAndANewProcess) {
  std::string file = UseFile();
  BringUp();
  kscam::CameraControls controls = Controls();
  ASSERT_EQ(controls.Set("brightness", 400), STATUS_SUCCESS);
  ASSERT_EQ(controls.Set("hue", 30), STATUS_SUCCESS);
  ASSERT_EQ(controls.SetRegion(kscam::Region{0, 64, 32, 800, 600}), STATUS_SUCCESS);
  CloseFilter();  // saves
  LONG value = 0;
  ASSERT_TRUE(Stored("Brightness", &value));
  EXPECT_EQ(value, 400);

  ctx_->brightness = 1;  // a change after the close reaches the key at stop
  system_.StopDevice();
  ASSERT_TRUE(Stored("Brightness", &value));
  EXPECT_EQ(value, 1);
  ctx_->brightness = 400;
  SaveSettings(ctx_);
  ASSERT_EQ(system_.StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->brightness, 400u);

  ASSERT_EQ(system_.ReEnumerate(), STATUS_SUCCESS);  // unplugged and back: a new device record
  ctx_ = system_.Context();
  EXPECT_EQ(system_.Context()->brightness, 400u);
  EXPECT_EQ(system_.Context()->hue, 30u);
  EXPECT_EQ(system_.Context()->roiWidth, 800);

  host::UseRegistryFile(file);  // what a new process finds in the file
  kscam::CameraSystem later;
  ASSERT_EQ(later.BringUp(), STATUS_SUCCESS);
  EXPECT_EQ(later.Context()->brightness, 400u);
  EXPECT_EQ(later.Context()->hue, 30u);
  EXPECT_EQ(later.Context()->roiX, 64);
  EXPECT_EQ(later.Context()->roiHeight, 600);
}

TEST_F(SettingsStore, ADamagedFileIsSetAsideAndStartGoesOn) {
  std::string file = UseFile();
  BringUp();
  Set(kPropBrightness, 222);
  CloseFilter();
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string good = text.str();
  ASSERT_NE(good.find("Brightness"), std::string::npos);
  const std::string damages[] = {good.substr(0, good.size() / 2), good.substr(0, good.size() - 2), "garbage\n",
                                 std::string(), good.substr(0, good.find("Brightness")) + "Brightnesz" +
                                                    good.substr(good.find("Brightness") + 10)};
  for (const std::string& damaged : damages) {
    SCOPED_TRACE(damaged.size());
    std::ofstream(file, std::ios::trunc) << damaged;
    host::RegistryLoadReport report = host::UseRegistryFile(file);
    EXPECT_TRUE(report.damaged);
    EXPECT_FALSE(report.problem.empty());
    std::ifstream aside(report.setAsidePath);
    std::stringstream kept;
    kept << aside.rdbuf();
    EXPECT_EQ(kept.str(), damaged) << "the damaged file is kept for inspection";
    kscam::CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    EXPECT_EQ(system.Context()->brightness, 255u);
    system.StopDevice();  // writes a fresh, whole file
    EXPECT_FALSE(host::UseRegistryFile(file).damaged);
  }
}

// A write that fails part-way (a full disk, a crash) leaves the previous file
// whole: the new one is written beside it and renamed over it only when done.
TEST_F(SettingsStore, AFailedFileWriteLeavesThePreviousFileWhole) {
  std::string file = UseFile();
  BringUp();
  Set(kPropBrightness, 211);
  CloseFilter();
  host::RegistryFaults faults;
  faults.failFileWrite = true;
  host::SetRegistryFaults(faults);
  OpenFilter();
  Set(kPropBrightness, 99);
  CloseFilter();
  EXPECT_FALSE(host::FlushRegistry());
  host::SetRegistryFaults(host::RegistryFaults());
  host::RegistryLoadReport report = host::UseRegistryFile(file);
  EXPECT_FALSE(report.damaged);
  LONG value = 0;
  ASSERT_TRUE(Stored("Brightness", &value));
  EXPECT_EQ(value, 211);
  for (const char* leftover : {".new."}) {
    std::string command = "ls " + ::testing::TempDir() + " | grep -c '" + leftover + "' > /dev/null";
    EXPECT_NE(system(command.c_str()), 0) << "a temporary file was left behind";
  }
}

}  // namespace
}  // namespace controls_test
