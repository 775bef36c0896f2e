// The live view's HTTP interface against the simulated camera, without a
// browser: the page, the control list's JSON, setting controls while frames
// stream (clamped values shown as clamped), region changes that restart the
// pin, the picture stream to several viewers at once, and the statuses of
// bad requests, after which the camera still streams.
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "live_view_rig.h"
#include "platform/host_pool.h"
#include "tools/view/live_view.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kMaxViewers = 3;
constexpr char kJpegStart[] = "\r\n\r\n\xFF\xD8";

// An IPv4 address of this machine beyond the loopback interface, if it has one.
std::string OtherAddress() {
  ifaddrs* addresses = nullptr;
  if (getifaddrs(&addresses) != 0) return "";
  std::string found;
  for (ifaddrs* a = addresses; a != nullptr && found.empty(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0) found = text;
  }
  freeifaddrs(addresses);
  return found;
}

// A port some other program listens on, for as long as the object lives.
class TakenPort {
 public:
  TakenPort() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(socket_, 1) == 0 &&
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~TakenPort() { close(socket_); }
  int Port() const { return port_; }

 private:
  int socket_;
  int port_ = 0;
};

class LiveViewApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    camera_ = new kscam::CameraSystem(view_test::BarsCamera());
    ASSERT_EQ(view_test::PrepareCamera(*camera_), STATUS_SUCCESS);
    kscam::LiveViewOptions options;
    options.port = 0;
    options.maxViewers = kMaxViewers;
    server_ = new kscam::LiveViewServer(*camera_, options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  static void TearDownTestSuite() {
    delete server_;
    delete camera_;
  }

  httplib::Client Client() {
    httplib::Client client("127.0.0.1", server_->Port());
    client.set_read_timeout(20, 0);
    return client;
  }
  json Get(const std::string& path) {
    auto result = Client().Get(path.c_str());
    EXPECT_TRUE(result) << path;
    if (!result) return json();
    EXPECT_EQ(result->status, 200) << path << ": " << result->body;
    return json::parse(result->body);
  }
  httplib::Result Put(const std::string& path, const std::string& body) {
    return Client().Put(path.c_str(), body, "application/json");
  }
  json Stats() { return Get("/api/stats"); }
  // Frames keep coming: the pin delivers some more within a generous time.
  void ExpectStreaming() {
    uint64_t before = Stats()["frames"];
    auto deadline = steady_clock::now() + std::chrono::seconds(20);
    while (Stats()["frames"].get<uint64_t>() < before + 2 && steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(20));
    json stats = Stats();
    EXPECT_TRUE(stats["streaming"]);
    EXPECT_GE(stats["frames"].get<uint64_t>(), before + 2) << "the camera still streams";
  }
  // Reads count pictures from /stream, or stops when keepGoing says so.
  static int ReadPictures(httplib::Client& client, int count, int* status) {
    int pictures = 0;
    std::string seen;
    auto result = client.Get("/stream", [&](const char* data, size_t length) {
      seen.append(data, length);
      for (size_t at; (at = seen.find(kJpegStart)) != std::string::npos; seen.erase(0, at + 4)) ++pictures;
      return pictures < count;
    });
    *status = result ? result->status : -1;
    if (result && result->status != 200) return 0;  // a refusal's body holds no picture
    return pictures;
  }

  static kscam::CameraSystem* camera_;
  static kscam::LiveViewServer* server_;
};

kscam::CameraSystem* LiveViewApi::camera_ = nullptr;
kscam::LiveViewServer* LiveViewApi::server_ = nullptr;

TEST_F(LiveViewApi, ServesThePageWithItsFilesOnTheLoopbackOnly) {
  auto page = Client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("/view.js"), std::string::npos);
  for (const char* path : {"/view.js", "/view.css"}) {
    auto file = Client().Get(path);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->status, 200) << path;
    EXPECT_GT(file->body.size(), 100u) << path;
  }
  // Nothing answers on this machine's other addresses.
  std::string address = OtherAddress();
  if (address.empty()) return;
  httplib::Client outside(address, server_->Port());
  outside.set_connection_timeout(1, 0);
  EXPECT_FALSE(outside.Get("/")) << "served on " << address;
}

TEST_F(LiveViewApi, ListsEveryControlWithItsRangeDefaultValueAndFlags) {
  json list = Get("/api/controls")["controls"];
  ASSERT_EQ(list.size(), kscam::ControlNames().size());
  std::map<std::string, json> byName;
  for (const json& control : list) {
    for (const char* field : {"minimum", "maximum", "step", "default", "value"})
      EXPECT_TRUE(control[field].is_number_integer()) << control.dump();
    EXPECT_TRUE(control["type"] == "integer" || control["type"] == "boolean") << control.dump();
    EXPECT_TRUE(control["flags"].is_array());
    byName[control["name"]] = control;
  }
  EXPECT_EQ(byName["exposure"]["minimum"], 1);
  EXPECT_EQ(byName["exposure"]["maximum"], 6400);
  EXPECT_EQ(byName["exposure"]["default"], 200);
  EXPECT_EQ(byName["exposure"]["value"], view_test::kUnityExposure);
  EXPECT_EQ(byName["brightness"]["maximum"], 510);
  EXPECT_EQ(byName["horizontal_flip"]["type"], "boolean");
  EXPECT_EQ(byName["sensor_width"]["flags"], json({"read_only"}));
  EXPECT_EQ(byName["subsampling"]["flags"], json({"restarts_stream"}));
  EXPECT_EQ(byName["subsampling"]["value"], view_test::kSmallMode);
  EXPECT_EQ(byName["capture_pin_open"]["value"], 1) << "the pin streams";
  EXPECT_EQ(Get("/api/controls/gain"), byName["gain"]);
}

TEST_F(LiveViewApi, SetsControlsWhileFramesStreamAndShowsClampedValuesAsClamped) {
  const struct {
    const char* name;
    const char* body;
    int32_t kept;
    bool clamped;
  } cases[] = {
      {"brightness", "300", 300, false},
      {"brightness", "{\"value\": 600}", 510, true},
      {"exposure", "99999", 6400, true},
      {"exposure", "0", 1, true},
      {"gain", "1000", 63, true},
      {"horizontal_flip", "true", 1, false},
      {"horizontal_flip", "0", 0, false},
      {"frame_timeout_ms", "100", 3000, true},  // too short: the driver keeps what it had
  };
  for (const auto& c : cases) {
    auto result = Put(std::string("/api/controls/") + c.name, c.body);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200) << c.name << " " << c.body << ": " << result->body;
    json answer = json::parse(result->body);
    EXPECT_EQ(answer["value"], c.kept) << c.name << " " << c.body;
    EXPECT_EQ(answer["clamped"], c.clamped) << c.name << " " << c.body;
    EXPECT_EQ(Get(std::string("/api/controls/") + c.name)["value"], c.kept) << "the driver holds it";
  }
  auto reset = Client().Post("/api/controls/reset", "", "application/json");
  ASSERT_TRUE(reset);
  EXPECT_EQ(reset->status, 200);
  EXPECT_EQ(Get("/api/controls/brightness")["value"], Get("/api/controls/brightness")["default"]);
  EXPECT_EQ(Get("/api/controls/exposure")["value"], 200);
  ExpectStreaming();
}

TEST_F(LiveViewApi, BadRequestsGetAClearStatusAndNeverStopTheCamera) {
  const std::string huge(200 * 1024, '1');
  const struct {
    const char* method;
    const char* path;
    std::string body;
    int status;
  } cases[] = {
      {"PUT", "/api/controls/no_such_control", "1", 404},
      {"GET", "/api/controls/no_such_control", "", 404},
      {"PUT", "/api/controls/exposure", "{\"value\": ", 400},
      {"PUT", "/api/controls/exposure", "", 400},
      {"PUT", "/api/controls/exposure", "\"bright\"", 422},
      {"PUT", "/api/controls/exposure", "12.5", 422},
      {"PUT", "/api/controls/exposure", "4294967296", 422},
      {"PUT", "/api/controls/horizontal_flip", "2", 422},
      {"PUT", "/api/controls/sensor_width", "1024", 403},
      {"PUT", "/api/controls/capture_pin_open", "0", 403},
      {"PUT", "/api/controls/exposure", huge, 413},
      {"PUT", "/api/region", "[3]", 422},
      {"PUT", "/api/region", "{\"mode\": 3, \"zoom\": 2}", 422},
      {"PUT", "/api/region", "{\"width\": true}", 422},
      {"GET", "/api/nothing", "", 404},
      {"GET", "/index.php", "", 404},
      {"DELETE", "/api/controls/exposure", "", 404},
      {"POST", "/api/stats", "", 404},
  };
  for (const auto& c : cases) {
    httplib::Client client = Client();
    httplib::Result result = std::string(c.method) == "PUT"      ? client.Put(c.path, c.body, "application/json")
                             : std::string(c.method) == "POST"   ? client.Post(c.path, c.body, "application/json")
                             : std::string(c.method) == "DELETE" ? client.Delete(c.path)
                                                                 : client.Get(c.path);
    ASSERT_TRUE(result) << c.method << " " << c.path;
    EXPECT_EQ(result->status, c.status) << c.method << " " << c.path << " " << c.body.substr(0, 40);
    json answer = json::parse(result->body, nullptr, false);
    EXPECT_TRUE(answer.is_object() && answer["error"].is_string()) << "a sentence for " << c.path << ": "
                                                                   << result->body.substr(0, 80);
  }
  EXPECT_EQ(Get("/api/controls/exposure")["value"], view_test::kUnityExposure) << "nothing changed";
  ExpectStreaming();
}

TEST_F(LiveViewApi, SnapshotIsAFullSizePngOfTheNextFrame) {
  auto result = Client().Get("/snapshot.png");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "image/png");
  const std::string& png = result->body;
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  auto bigEndian = [&](size_t at) {
    return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
           uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
  };
  EXPECT_EQ(bigEndian(16), 320u) << "IHDR width";
  EXPECT_EQ(bigEndian(20), 240u) << "IHDR height";
}

TEST_F(LiveViewApi, RegionChangesRestartThePinAndSayso) {
  uint64_t restarts = Stats()["restarts"];
  auto result = Put("/api/region", "{\"mode\": 2}");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200) << result->body;
  json answer = json::parse(result->body);
  EXPECT_EQ(answer["restarted"], true);
  EXPECT_EQ(answer["region"]["mode"], 2);
  EXPECT_NE(answer["message"].get<std::string>().find("640 x 480"), std::string::npos) << answer.dump();
  json stats = Stats();
  EXPECT_EQ(stats["frame"], json({{"width", 640}, {"height", 480}}));
  EXPECT_EQ(stats["restarts"], restarts + 1);
  ExpectStreaming();

  // One field through the controls: a window narrower than the smallest the
  // camera takes comes back clamped.
  ASSERT_TRUE(Put("/api/region", "{\"mode\": 0, \"left\": 0, \"top\": 0, \"width\": 320, \"height\": 240}"));
  result = Put("/api/controls/region_width", "8");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200) << result->body;
  answer = json::parse(result->body);
  EXPECT_EQ(answer["value"], 32);
  EXPECT_EQ(answer["clamped"], true);
  EXPECT_EQ(Stats()["frame"]["width"], 32);
  ExpectStreaming();

  result = Put("/api/controls/subsampling", std::to_string(view_test::kSmallMode));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(Stats()["frame"], json({{"width", 320}, {"height", 240}}));
}

// A pin that cannot start again after a region change (the system has no
// memory for its frame buffers): the client hears why with a 502, the
// server goes on answering, and once the system recovers a region change
// streams again.
TEST_F(LiveViewApi, ARegionChangeWhosePinCannotStartIsReportedAndRecovers) {
  const json before = Get("/api/region");
  host::FailAllocationsWithTag("Vwrk");  // the driver's frame buffers
  auto result = Put("/api/region", "{\"mode\": 2}");
  host::ClearPoolFaults();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 502) << result->body;
  json answer = json::parse(result->body, nullptr, false);
  EXPECT_TRUE(answer.is_object() && answer["error"].is_string()) << result->body;
  EXPECT_EQ(Stats()["streaming"], false) << "the old region could not start either";
  EXPECT_NE(answer["error"].get<std::string>().find("stopped"), std::string::npos) << "and the client is told: " << result->body;
  EXPECT_EQ(Get("/api/controls/brightness")["name"], "brightness") << "the controls still answer";

  result = Put("/api/region", before.dump());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200) << result->body;
  ExpectStreaming();
}

// A camera that stops answering its command packets while the region
// changes: whether the driver gets the new region through or not, nothing is
// lost. Either the new region streams (200), or the client hears why not
// (502) and the old region streams again.
TEST_F(LiveViewApi, ARegionChangeTheCameraFailsLeavesAStreamingRegion) {
  const json before = Get("/api/region");
  sim::CameraFaults faults;
  faults.noReplies = true;
  camera_->Camera()->SetFaults(faults);
  auto result = Put("/api/region", "{\"mode\": 2}");
  camera_->Camera()->SetFaults(sim::CameraFaults());
  ASSERT_TRUE(result);
  json answer = json::parse(result->body, nullptr, false);
  if (result->status == 200) {
    EXPECT_EQ(Get("/api/region")["mode"], 2);
    EXPECT_EQ(Stats()["frame"], json({{"width", 640}, {"height", 480}}));
  } else {
    EXPECT_EQ(result->status, 502) << result->body;
    EXPECT_TRUE(answer.is_object() && answer["error"].is_string()) << result->body;
    EXPECT_EQ(Get("/api/region"), before);
    EXPECT_EQ(Stats()["frame"], json({{"width", 320}, {"height", 240}}));
  }
  ExpectStreaming();
  EXPECT_EQ(Put("/api/region", before.dump())->status, 200);
}

TEST_F(LiveViewApi, StreamsPicturesToSeveralViewersAndRefusesOneTooMany) {
  std::atomic<int> watching{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> viewers;
  std::atomic<int> pictures[kMaxViewers];
  for (int i = 0; i < kMaxViewers; ++i) {
    pictures[i] = 0;
    viewers.emplace_back([&, i] {
      httplib::Client client = Client();
      std::string seen;
      bool counted = false;
      client.Get("/stream", [&](const char* data, size_t length) {
        seen.append(data, length);
        for (size_t at; (at = seen.find(kJpegStart)) != std::string::npos; seen.erase(0, at + 4)) ++pictures[i];
        if (pictures[i] >= 2 && !counted) {
          counted = true;
          ++watching;
        }
        return !release.load();
      });
    });
  }
  auto deadline = steady_clock::now() + std::chrono::seconds(30);
  while (watching.load() < kMaxViewers && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(watching.load(), kMaxViewers) << "each viewer got two pictures";
  json stats = Stats();
  EXPECT_EQ(stats["display"]["viewers"], kMaxViewers);

  httplib::Client extra = Client();
  int status = 0;
  EXPECT_EQ(ReadPictures(extra, 1, &status), 0);
  EXPECT_EQ(status, 503) << "one viewer too many";
  EXPECT_EQ(Put("/api/controls/brightness", "260")->status, 200) << "the controls still answer";

  release = true;
  for (std::thread& viewer : viewers) viewer.join();
  deadline = steady_clock::now() + std::chrono::seconds(10);
  while (Stats()["display"]["viewers"] != 0 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(Stats()["display"]["viewers"], 0) << "viewers that went away are counted out";
  EXPECT_EQ(ReadPictures(extra, 1, &status), 1) << "a place is free again";
  ExpectStreaming();
}

TEST_F(LiveViewApi, ConcurrentChangesRegionRestartsAndViewersAllGetAnswers) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      const char* names[] = {"brightness", "contrast", "horizontal_flip"};
      for (int round = 0; round < 15; ++round) {
        auto result = Put(std::string("/api/controls/") + names[t], std::to_string(round % 2));
        if (!result || result->status != 200) ++failures;
        if (!Client().Get("/api/stats")) ++failures;
      }
    });
  threads.emplace_back([&] {
    for (int mode : {2, 3, 2, 3}) {
      auto result = Put("/api/region", "{\"mode\": " + std::to_string(mode) + "}");
      if (!result || result->status != 200) ++failures;
    }
  });
  threads.emplace_back([&] {
    httplib::Client client = Client();
    int status = 0;
    if (ReadPictures(client, 3, &status) != 3) ++failures;
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Stats()["frame"]["width"], 320);
  Client().Post("/api/controls/reset", "", "application/json");
  ExpectStreaming();
}

TEST(LiveViewServer, StopsPromptlyWithAViewerWatchingAndRefusesABusyPort) {
  kscam::CameraSystem camera(view_test::BarsCamera());
  ASSERT_EQ(view_test::PrepareCamera(camera), STATUS_SUCCESS);
  kscam::LiveViewOptions options;
  options.port = 0;
  TakenPort taken;
  ASSERT_NE(taken.Port(), 0);
  kscam::LiveViewOptions busy = options;
  busy.port = taken.Port();
  std::string error;
  {
    kscam::LiveViewServer refused(camera, busy);
    EXPECT_FALSE(refused.Start(&error)) << "the port is taken";
    EXPECT_NE(error.find(std::to_string(taken.Port())), std::string::npos) << error;
    EXPECT_EQ(camera.KsDevice().OpenPins(), 0u) << "the pin it opened is closed again";
  }
  auto server = std::make_unique<kscam::LiveViewServer>(camera, options);
  ASSERT_TRUE(server->Start(&error)) << error;

  std::atomic<int> pictures{0};
  std::thread viewer([&] {
    httplib::Client client("127.0.0.1", server->Port());
    client.Get("/stream", [&](const char* data, size_t length) {
      if (std::string(data, length).find("\xFF\xD8") != std::string::npos) ++pictures;
      return true;
    });
  });
  auto deadline = steady_clock::now() + std::chrono::seconds(30);
  while (pictures.load() == 0 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_GT(pictures.load(), 0);
  server->Stop();
  viewer.join();  // the stream ended with the server
  EXPECT_EQ(camera.KsDevice().OpenPins(), 0u) << "the pin is closed";
  EXPECT_FALSE(server->Start(&error)) << "a server serves once";
  EXPECT_EQ(camera.KsDevice().OpenPins(), 0u);
  server.reset();
  camera.StopDevice();
  camera.RemoveDevice();
}

}  // namespace
