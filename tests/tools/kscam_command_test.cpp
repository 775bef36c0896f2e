// The kscam command line end to end: each command run as its own process on
// the simulated camera (small windows and an unpaced bus keep it quick), the
// files it writes, the settings it leaves in the state directory, and the one
// line and exit status of each kind of mistake.
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }
};

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> bgra;
};

bool ReadPng(const fs::path& path, Image* image) {
  png_image png = {};
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return false;
  png.format = PNG_FORMAT_BGRA;
  image->bgra.resize(PNG_IMAGE_SIZE(png));
  image->width = png.width;
  image->height = png.height;
  return png_image_finish_read(&png, nullptr, image->bgra.data(), 0, nullptr) != 0;
}

class KscamCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(::testing::TempDir()) / (std::string("kscam_") + test->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "state");
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  // Runs kscam with the arguments (a shell word list) in the test's folder.
  Result Kscam(const std::string& arguments) {
    fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    std::string command = "cd '" + dir_.string() + "' && '" KSCAM_TOOL "' " + arguments + " >'" + out.string() +
                          "' 2>'" + err.string() + "' </dev/null";
    int status = system(command.c_str());
    Result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(out);
    result.err = ReadText(err);
    return result;
  }
  // A camera command on the simulated camera with this test's settings.
  Result Camera(const std::string& arguments) { return Kscam(arguments + " --unpaced --state state"); }

  // Exposure and gain at which the simulated sensor shows the scene as it is
  // (the settings of an empty registry give a nearly black picture).
  void ExposeAtUnity() {
    Result set = Camera("set exposure=200,gain=14");
    ASSERT_EQ(set.status, 0) << set.err;
  }

  fs::path dir_;
};

// One line on stderr, the status given, nothing on stdout.
void ExpectOneLineError(const Result& result, int status, const std::string& part) {
  EXPECT_EQ(result.status, status) << result.err;
  EXPECT_NE(result.err.find(part), std::string::npos) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

TEST_F(KscamCommand, EveryCommandHasHelpAndTheListNamesThemAll) {
  Result help = Kscam("help");
  ASSERT_EQ(help.status, 0);
  for (const char* command : {"list", "info", "controls", "get", "set", "capture", "snap", "convert", "probe"}) {
    SCOPED_TRACE(command);
    EXPECT_NE(help.out.find(command), std::string::npos);
    Result own = Kscam(std::string(command) + " --help");
    EXPECT_EQ(own.status, 0);
    EXPECT_NE(own.out.find("Usage"), std::string::npos);
    EXPECT_NE(own.out.find("--help"), std::string::npos);
  }
}

TEST_F(KscamCommand, BadArgumentsGiveOneLineAndTheUsageStatus) {
  ExpectOneLineError(Kscam("frobnicate"), 2, "frobnicate");
  ExpectOneLineError(Kscam(""), 2, "kscam");
  ExpectOneLineError(Kscam("capture -n 0"), 2, "kscam capture");
  ExpectOneLineError(Kscam("capture --scene fog"), 2, "--scene");
  ExpectOneLineError(Kscam("capture --subsample 4"), 2, "--subsample");
  ExpectOneLineError(Kscam("capture -n 2 --duration 1"), 2, "kscam capture");
  ExpectOneLineError(Kscam("capture -n 2 -o frame.png"), 2, "'#'");
  ExpectOneLineError(Kscam("snap -o picture.jpg"), 2, ".png");
  ExpectOneLineError(Kscam("capture --roi 1,2,3"), 2, "--roi wants x,y,w,h");
  ExpectOneLineError(Kscam("set exposure"), 2, "'exposure' is not NAME=VALUE");
  ExpectOneLineError(Kscam("get"), 2, "NAME");
  ExpectOneLineError(Kscam("probe --chip 1802"), 2, "--chip");
  ExpectOneLineError(Kscam("convert --raw x.raw"), 2, "--out");
}

TEST_F(KscamCommand, ListShowsEveryCameraWithAnIdOfItsOwn) {
  Result list = Camera("list --cameras 3");
  ASSERT_EQ(list.status, 0) << list.err;
  std::vector<std::string> lines = list.Lines();
  ASSERT_EQ(lines.size(), 3u) << list.out;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_EQ(lines[i].rfind(std::to_string(i) + ": simulated USB camera F5C0:5C01", 0), 0u);
    EXPECT_NE(lines[i].find("USB\\VID_F5C0&PID_5C01\\port" + std::to_string(i + 1)), std::string::npos);
  }
  ExpectOneLineError(Camera("info --cameras 2 --camera 2"), 1, "no camera 2 (2 present");
}

// Settings made by one process are the next one's, through the registry in
// the state directory; a set reads each value back and says when the camera
// clamped it; a set with any bad item changes nothing.
TEST_F(KscamCommand, SetPersistsAndGetSeesItInTheNextRun) {
  Result set = Camera("set exposure=321,brightness=600 hue=-4,roi=16,8,64,32");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out,
            "exposure: 321\n"
            "brightness: 510 (the camera clamped 600)\n"
            "hue: 0 (the camera clamped -4)\n"
            "roi: 16,8,64,32\n");
  EXPECT_TRUE(fs::exists(dir_ / "state" / "registry"));

  ExpectOneLineError(Camera("set exposure=100,loudness=3"), 1, "unknown control 'loudness'");
  ExpectOneLineError(Camera("set exposure=100,sensor_width=3"), 1, "value refused: sensor_width=3");
  ExpectOneLineError(Camera("set exposure=many"), 1, "value refused: exposure=many");
  ExpectOneLineError(Camera("set roi=1,2"), 1, "value refused: roi=1,2");
  ExpectOneLineError(Camera("get exposure loudness"), 1, "unknown control 'loudness'");

  Result get = Camera("get exposure brightness hue roi subsample");
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "exposure: 321\nbrightness: 510\nhue: 0\nroi: 16,8,64,32\nsubsample: 0\n");

  Result subsampled = Camera("set subsample=3");
  ASSERT_EQ(subsampled.status, 0) << subsampled.err;
  EXPECT_EQ(Camera("get roi subsample").out, "roi: 0,0,2560,1920\nsubsample: 3\n");

  // Another state directory is another machine: the defaults again.
  fs::create_directories(dir_ / "other");
  EXPECT_EQ(Kscam("get exposure --unpaced --state other").out, "exposure: 1\n");
}

// Without --state the settings live in $XDG_STATE_HOME/kscam, else in
// ~/.local/state/kscam; a relative XDG_STATE_HOME counts as unset.
TEST_F(KscamCommand, SettingsLiveInTheUsersStateDirectory) {
  const char* savedHome = getenv("HOME");
  const char* savedState = getenv("XDG_STATE_HOME");
  std::string home = savedHome ? savedHome : "", state = savedState ? savedState : "";
  setenv("HOME", (dir_ / "home").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir_ / "xdg").c_str(), 1);
  Result xdg = Kscam("set exposure=77 --unpaced");
  setenv("XDG_STATE_HOME", "relative", 1);
  Result fallback = Kscam("set exposure=88 --unpaced");
  Result read = Kscam("get exposure --unpaced");
  savedHome ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
  savedState ? setenv("XDG_STATE_HOME", state.c_str(), 1) : unsetenv("XDG_STATE_HOME");
  ASSERT_EQ(xdg.status, 0) << xdg.err;
  ASSERT_EQ(fallback.status, 0) << fallback.err;
  EXPECT_TRUE(fs::exists(dir_ / "xdg" / "kscam" / "registry"));
  EXPECT_TRUE(fs::exists(dir_ / "home" / ".local" / "state" / "kscam" / "registry"));
  EXPECT_FALSE(fs::exists(dir_ / "relative"));
  EXPECT_EQ(read.out, "exposure: 88\n");
  EXPECT_EQ(Kscam("get exposure --unpaced --state xdg/kscam").out, "exposure: 77\n");
}

TEST_F(KscamCommand, ControlsAreListedInTheFamiliarLayout) {
  ASSERT_NO_FATAL_FAILURE(ExposeAtUnity());
  ASSERT_EQ(Camera("set white_balance_automatic=1").status, 0);
  Result controls = Camera("controls");
  ASSERT_EQ(controls.status, 0) << controls.err;
  std::string out = controls.out;
  auto line = [&](const std::string& name) {
    std::regex pattern("(^|\\n) *" + name + " [^\\n]*");
    std::smatch match;
    return std::regex_search(out, match, pattern) ? std::string(match[0]).substr(match[0].str()[0] == '\n') : "";
  };
  EXPECT_EQ(line("exposure"),
            "                       exposure 0x00000002 (int)    : min=1 max=6400 step=1 default=200 value=200");
  EXPECT_EQ(line("hue"), "                            hue 0x00000020 (int)    : min=0 max=359 step=1 default=0 value=0 degrees");
  EXPECT_EQ(line("horizontal_flip"), "                horizontal_flip 0x0000000a (bool)   : default=0 value=0");
  EXPECT_NE(line("red_gain").find("flags=inactive"), std::string::npos) << line("red_gain");
  EXPECT_NE(line("sensor_width").find("flags=read-only"), std::string::npos);
  EXPECT_EQ(line("brightness").find("flags="), std::string::npos);
  EXPECT_EQ(controls.Lines().size(), 27u);
}

TEST_F(KscamCommand, InfoDescribesTheCameraTheDriverStarted) {
  ASSERT_EQ(Camera("set roi=0,0,100,40").status, 0);
  Result info = Camera("info");
  ASSERT_EQ(info.status, 0) << info.err;
  for (const char* part : {"camera 0: simulated USB camera F5C0:5C01  USB\\VID_F5C0&PID_5C01\\port1", "driver: built in",
                           "camera firmware: running (downloaded at start; the camera re-enumerated)",
                           "sensor: chip identification 0x1800",
                           "image: 96 x 40 pixels (window 0, 0, 100 x 40, subsampling mode 0)",
                           "pin format: 96 x 40, 32 bits per pixel, bottom-up, 15360 bytes, frame interval 333333 x 100 ns "
                           "(30.00 frames per second)",
                           "data range: 96 x 40, 32 bits per pixel"})
    EXPECT_NE(info.out.find(part), std::string::npos) << part << "\n" << info.out;
}

TEST_F(KscamCommand, CaptureWritesPngFilesNamedBySequenceAndSummarises) {
  ASSERT_NO_FATAL_FAILURE(ExposeAtUnity());
  Result capture = Camera("capture -n 3 --roi 0,0,64,32 --scene bars --metadata -o 'out #.png'");
  ASSERT_EQ(capture.status, 0) << capture.err;
  // The pin hands over a frame whenever the client queues a buffer (the
  // last picture again when the camera sent no new one), faster than PNG
  // files are written: the frames the writer could not take are dropped, and
  // the file names (the sequence numbers) show the gaps.
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 7u) << capture.out;
  EXPECT_EQ(lines[0], "roi: 0,0,64,32");
  std::vector<unsigned> sequences;
  for (int i = 0; i < 3; ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[1 + i], match,
                                 std::regex("frame ([0-9]{6})  time [0-9]+\\.[0-9]{7} s  exposure 200  gain 14")))
        << lines[1 + i];
    sequences.push_back(unsigned(std::stoul(match[1])));
    Image image;
    ASSERT_TRUE(ReadPng(dir_ / ("out " + match[1].str() + ".png"), &image)) << lines[1 + i];
    EXPECT_EQ(image.width, 64u);
    EXPECT_EQ(image.height, 32u);
    for (int channel = 0; channel < 3; ++channel)
      EXPECT_NEAR(image.bgra[channel], 191, 8) << "the bars start with 75% white";
  }
  EXPECT_TRUE(sequences[0] < sequences[1] && sequences[1] < sequences[2]);
  size_t files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) files += entry.path().extension() == ".png";
  EXPECT_EQ(files, 3u);
  std::smatch summary;
  ASSERT_TRUE(std::regex_match(lines[4], summary,
                               std::regex("frames: 3 delivered, ([0-9]+) dropped \\(the camera sent ([0-9]+) whole frames\\)")))
      << lines[4];
  EXPECT_GE(std::stoul(summary[1]), sequences[2] - 2) << "every number not written is a frame dropped";
  EXPECT_TRUE(std::regex_match(lines[5], std::regex("rate: ([0-9.]+ frames per second from the camera, [0-9.]+ delivered|not measured \\(fewer than two "
                                          "frames from the camera\\)), 30.0 nominal"))) << lines[5];
  EXPECT_TRUE(std::regex_match(lines[6], std::regex("elapsed: [0-9]+\\.[0-9]{3} s"))) << lines[6];
  // The window was for this capture only.
  EXPECT_EQ(Camera("get roi").out, "roi: 0,0,2560,1920\n");
}

TEST_F(KscamCommand, CaptureForADurationTakesFramesUntilTheTimeIsUp) {
  Result capture = Camera("capture --duration 0.3 --subsample 3 -o 'd-#.png'");
  ASSERT_EQ(capture.status, 0) << capture.err;
  size_t files = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
    if (entry.path().extension() != ".png") continue;
    Image image;
    ASSERT_TRUE(ReadPng(entry.path(), &image)) << entry.path();
    EXPECT_EQ(image.width, 320u);
    EXPECT_EQ(image.height, 240u);
    ++files;
  }
  EXPECT_GE(files, 1u);
  EXPECT_NE(capture.out.find("frames: " + std::to_string(files) + " delivered"), std::string::npos) << capture.out;
  // It does not stop before the time is up (how far beyond is the machine's).
  std::smatch elapsed;
  ASSERT_TRUE(std::regex_search(capture.out, elapsed, std::regex("elapsed: ([0-9.]+) s"))) << capture.out;
  EXPECT_GE(std::stod(elapsed[1]), 0.3);
}

// A whole sensor's frame takes longer than a frame interval on the paced
// bus (4.9 MB at 42 MB/s): the summary says the camera falls short.
TEST_F(KscamCommand, TheSummaryWarnsWhenTheCameraFallsShortOfItsRate) {
  Result capture = Kscam("capture --raw -n 2 -o 'w-#.raw' --state state");
  ASSERT_EQ(capture.status, 0) << capture.err;
  EXPECT_EQ(capture.err.rfind("warning: the camera's measured rate (", 0), 0u) << capture.err;
  EXPECT_NE(capture.err.find("falls short of the format's 30.0"), std::string::npos) << capture.err;
  EXPECT_EQ(fs::file_size(dir_ / "w-000001.raw"), fs::file_size(dir_ / "w-000000.raw"));
}

// The raw frame and its sidecar, converted offline, give the picture the pin
// delivered live with the same settings: with the window starting on an odd
// row and the picture mirrored, so the colour phase is not the plain one.
TEST_F(KscamCommand, ARawFrameConvertsToThePictureCapturedLive) {
  ASSERT_NO_FATAL_FAILURE(ExposeAtUnity());
  ASSERT_EQ(Camera("set horizontal_flip=1,saturation=14,hue=30,brightness=280").status, 0);
  const std::string window = " --roi 8,3,70,34";  // 70 wide: the pin trims its picture to 64
  Result raw = Camera("snap --raw -o frame.raw" + window);
  ASSERT_EQ(raw.status, 0) << raw.err;
  Result live = Camera("snap -o live.png" + window);
  ASSERT_EQ(live.status, 0) << live.err;

  std::string sidecar = ReadText(dir_ / "frame.json");
  EXPECT_NE(sidecar.find("\"bayerPhase\": 3"), std::string::npos) << sidecar;
  EXPECT_NE(sidecar.find("\"hue\": 30"), std::string::npos);
  EXPECT_NE(sidecar.find("\"imageWidth\": 64"), std::string::npos);
  size_t frameBytes = std::stoul(sidecar.substr(sidecar.find("\"frameBytes\": ") + 14));
  EXPECT_EQ(fs::file_size(dir_ / "frame.raw"), frameBytes);

  Result convert = Kscam("convert --raw frame.raw --out converted.png");
  ASSERT_EQ(convert.status, 0) << convert.err;
  Image converted, captured;
  ASSERT_TRUE(ReadPng(dir_ / "converted.png", &converted));
  ASSERT_TRUE(ReadPng(dir_ / "live.png", &captured));
  EXPECT_EQ(converted.width, 64u);
  EXPECT_EQ(converted.height, 34u);
  EXPECT_EQ(converted.bgra, captured.bgra);

  // A setting given on the command line wins over the sidecar's.
  ASSERT_EQ(Kscam("convert --raw frame.raw --sidecar frame.json --saturation 0 --out grey.png").status, 0);
  Image grey;
  ASSERT_TRUE(ReadPng(dir_ / "grey.png", &grey));
  EXPECT_NE(grey.bgra, captured.bgra);
  for (size_t i = 0; i < grey.bgra.size(); i += 4) {
    ASSERT_NEAR(grey.bgra[i], grey.bgra[i + 1], 1) << i;
    ASSERT_NEAR(grey.bgra[i + 1], grey.bgra[i + 2], 1) << i;
  }
}

TEST_F(KscamCommand, DamagedSidecarsAndUnwritableFilesAreOneLineErrors) {
  std::ofstream(dir_ / "frame.raw") << std::string(4096, '\x40');
  const std::string good = R"({"kind": "kscam raw frame", "width": 32, "height": 32, "imageWidth": 32,
    "lineOffset": 0, "rowPitch": 32, "frameBytes": 1024, "bayerPhase": 0, "sequence": 0, "timestamp100ns": 0,
    "settings": {"brightness": 255, "contrast": 10, "saturation": 10, "hue": 0, "colour_correction": 1,
    "colour_enable": 1, "white_balance_automatic": 0, "red_gain": 128, "green_gain": 128, "blue_gain": 128}})";
  std::ofstream(dir_ / "frame.json") << good;
  ASSERT_EQ(Kscam("convert --raw frame.raw --out fine.png").status, 0);

  const std::pair<std::string, std::string> damages[] = {
      {good.substr(0, 80), "not valid JSON"},
      {"[1, 2]", "not a sidecar of a raw frame"},
      {std::regex_replace(good, std::regex("\"rowPitch\": 32, "), ""), "'rowPitch' is missing"},
      {std::regex_replace(good, std::regex("\"bayerPhase\": 0"), "\"bayerPhase\": 4"), "'bayerPhase' is not a whole number from 0 to 3"},
      {std::regex_replace(good, std::regex("\"width\": 32"), "\"width\": \"32\""), "'width' is not"},
      {std::regex_replace(good, std::regex("\"rowPitch\": 32"), "\"rowPitch\": 31"), "'rowPitch' is less than 'width'"},
      {std::regex_replace(good, std::regex("\"frameBytes\": 1024"), "\"frameBytes\": 1023"), "'frameBytes' is too small"},
      {std::regex_replace(good, std::regex("\"hue\": 0"), "\"hue\": 360"), "'hue' is not"},
      {std::regex_replace(good, std::regex("\"red_gain\": 128, "), ""), "'red_gain' is missing"},
  };
  for (const auto& [text, problem] : damages) {
    SCOPED_TRACE(problem);
    std::ofstream(dir_ / "frame.json", std::ios::trunc) << text;
    ExpectOneLineError(Kscam("convert --raw frame.raw --out damaged.png"), 1,
                       "kscam convert: frame.json: damaged sidecar: " + problem);
    EXPECT_FALSE(fs::exists(dir_ / "damaged.png"));
  }
  ExpectOneLineError(Kscam("convert --raw frame.raw --sidecar missing.json --out x.png"), 1, "missing.json");

  ASSERT_NO_FATAL_FAILURE(ExposeAtUnity());
  ExpectOneLineError(Camera("snap -o no/such/folder.png"), 1, "cannot write the frame: no/such/folder.png");
  // A capture that fails leaves the camera's stored window as it was.
  ExpectOneLineError(Camera("snap --roi 0,0,64,32 -o no/such/folder.png"), 1, "cannot write the frame");
  EXPECT_EQ(Camera("get roi").out, "roi: 0,0,2560,1920\n");
  ExpectOneLineError(Camera("snap --raw -o no/such/folder.raw"), 1, "cannot write the frame: no/such/folder.raw");
  ExpectOneLineError(Kscam("get exposure --state /proc/kscam"), 1, "state directory /proc/kscam");
  // A driver image that is missing or no image at all: one line naming it.
  ExpectOneLineError(Camera("info --driver missing.sys"), 1, "kscam info: missing.sys: ");
  ExpectOneLineError(Camera("snap --driver frame.raw"), 1, "kscam snap: frame.raw: ");
  EXPECT_FALSE(fs::exists(dir_ / "snap.png"));
}

// --driver runs the Windows build of the driver, loaded into the platform,
// and every command prints what it prints with the built-in driver.
TEST_F(KscamCommand, TheLoadedWindowsDriverGivesTheSameOutput) {
  if (!fs::exists(KSCAM_SYS_IMAGE)) GTEST_SKIP() << KSCAM_SYS_IMAGE << " not built (scripts/build-windows-driver.sh)";
  const std::string driver = std::string(" --driver '") + KSCAM_SYS_IMAGE + "'";
  ASSERT_EQ(Camera("set exposure=200,gain=14,hue=20" + driver).status, 0);
  for (const char* command : {"list --cameras 2", "controls", "get exposure hue roi"}) {
    SCOPED_TRACE(command);
    Result built = Camera(command), loaded = Camera(command + driver);
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, built.out);
  }
  // info says which driver runs, and otherwise the same.
  auto withoutDriverLine = [](std::string out) { return std::regex_replace(out, std::regex("driver: [^\n]*\n"), ""); };
  Result builtInfo = Camera("info"), loadedInfo = Camera("info" + driver);
  EXPECT_NE(loadedInfo.out.find("driver: loaded from"), std::string::npos) << loadedInfo.out;
  EXPECT_EQ(withoutDriverLine(loadedInfo.out), withoutDriverLine(builtInfo.out));
  const std::string bars = " --scene bars --roi 0,0,64,32";
  ASSERT_EQ(Camera("snap -o built.png" + bars).status, 0);
  ASSERT_EQ(Camera("snap -o loaded.png" + bars + driver).status, 0);
  ASSERT_EQ(Camera("snap --raw -o loaded.raw" + bars + driver).status, 0);
  Image built, loaded;
  ASSERT_TRUE(ReadPng(dir_ / "built.png", &built));
  ASSERT_TRUE(ReadPng(dir_ / "loaded.png", &loaded));
  EXPECT_EQ(built.bgra, loaded.bgra);
  ASSERT_EQ(Kscam("convert --raw loaded.raw --out converted.png").status, 0);
  Image converted;
  ASSERT_TRUE(ReadPng(dir_ / "converted.png", &converted));
  EXPECT_EQ(converted.bgra, loaded.bgra);
}

}  // namespace
