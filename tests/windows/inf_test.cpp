// The installation file publishes the filter where the filter descriptor says
// it lives, and installs the driver the way a current camera package does.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "stream/descriptors.h"
#include "stream/ks_guids.h"
#include "usb/usb_device.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = char(toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string GuidText(const GUID& guid) {
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(guid.Data1),
           guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
           guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  size_t last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

struct Inf {
  std::map<std::string, std::map<std::string, std::vector<std::string>>> sections;  // section -> key -> values
  std::map<std::string, std::string> strings;

  std::string Resolve(std::string value) const {
    value = Trim(value);
    if (value.size() > 2 && value.front() == '%' && value.back() == '%') {
      auto it = strings.find(Upper(value.substr(1, value.size() - 2)));
      if (it != strings.end()) value = it->second;
    }
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  std::string Value(const std::string& section, const std::string& key) const {
    auto s = sections.find(Upper(section));
    if (s == sections.end()) return {};
    auto k = s->second.find(Upper(key));
    return k == s->second.end() || k->second.empty() ? std::string() : Trim(k->second.front());
  }
};

Inf ReadInf() {
  std::ifstream file(std::string(KSCAM_SOURCE_DIR) + "/windows/kscam.inf");
  EXPECT_TRUE(file.good());
  Inf inf;
  std::string line, section;
  while (std::getline(file, line)) {
    line = Trim(line.substr(0, line.find(';')));
    if (line.empty()) continue;
    if (line.front() == '[') {
      section = Upper(line.substr(1, line.find(']') - 1));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = Upper(Trim(line.substr(0, equals)));
    std::string value = Trim(line.substr(equals + 1));
    inf.sections[section][key].push_back(value);
    if (section == "STRINGS") inf.strings[key] = value.size() >= 2 && value.front() == '"' ? value.substr(1, value.size() - 2) : value;
  }
  return inf;
}

// Splits a comma-separated INF value into trimmed fields.
std::vector<std::string> Fields(const std::string& value) {
  std::vector<std::string> fields;
  size_t begin = 0;
  for (;;) {
    size_t comma = value.find(',', begin);
    fields.push_back(Trim(value.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin)));
    if (comma == std::string::npos) return fields;
    begin = comma + 1;
  }
}

// Both ways: the class driver turns on interfaces only for the filter's
// categories, and an INF interface the filter does not have stays dead.
TEST(WindowsInf, InterfacesAndFilterCategoriesMatchBothWays) {
  Inf inf = ReadInf();
  std::set<std::string> published;
  for (const std::string& entry : inf.sections["CAMERA.NT.INTERFACES"]["ADDINTERFACE"]) {
    std::vector<std::string> fields = Fields(entry);
    ASSERT_GE(fields.size(), 3u) << entry;
    EXPECT_EQ(inf.Resolve(fields[1]), "GLOBAL") << entry;
    EXPECT_TRUE(inf.sections.count(Upper(fields[2]))) << "no section " << fields[2];
    published.insert(Upper(inf.Resolve(fields[0])));
  }
  std::set<std::string> categories;
  for (ULONG i = 0; i < kFilterDescriptor.CategoriesCount; ++i)
    categories.insert(GuidText(kFilterDescriptor.Categories[i]));
  for (const std::string& category : categories)
    EXPECT_TRUE(published.count(category)) << category << " is a filter category the INF does not publish";
  for (const std::string& interface : published)
    EXPECT_TRUE(categories.count(interface)) << interface << " is published but is not a filter category";
  EXPECT_TRUE(categories.count(GuidText(kCategoryVideoCamera))) << "the video-camera category is missing";
}

// A decoration is NT<architecture>.<major>.<minor>.<product>.<suite>.<build>,
// trailing fields optional. Returns false when it does not parse.
struct TargetOs {
  std::string architecture;
  int major = -1, minor = -1, build = -1;
};
bool ParseDecoration(const std::string& decoration, TargetOs* target) {
  std::smatch m;
  static const std::regex syntax(R"(NT(AMD64|X86|ARM64)(?:\.(\d*)(?:\.(\d*)(?:\.(\d*)(?:\.(\d*)(?:\.(\d*))?)?)?)?)?)",
                                 std::regex::icase);
  if (!std::regex_match(decoration, m, syntax)) return false;
  auto number = [&](int i) { return m[i].length() ? std::stoi(m[i].str()) : -1; };
  target->architecture = Upper(m[1].str());
  target->major = number(2);
  target->minor = number(3);
  target->build = number(6);
  return true;
}

// The service binary runs from the driver store (DIRID 13), which only
// Windows 10 build 16299 and later support: every models section must be
// limited to those builds, named exactly as the manufacturer entry decorates
// it, and lead to install sections that exist.
TEST(WindowsInf, ModelsTargetTheBuildsThatRunDriversFromTheDriverStore) {
  constexpr int kFirstDriverStoreBuild = 16299;
  Inf inf = ReadInf();
  ASSERT_EQ(inf.Value("DestinationDirs", "DefaultDestDir"), "13");
  ASSERT_EQ(inf.Value("Camera.Service", "ServiceBinary").rfind("%13%\\", 0), 0u);

  std::set<std::string> modelSections, modelBases;
  for (const auto& [manufacturer, entries] : inf.sections["MANUFACTURER"])
    for (const std::string& entry : entries) {
      std::vector<std::string> fields = Fields(entry);
      ASSERT_GE(fields.size(), 2u) << "undecorated models section in " << entry;
      modelBases.insert(Upper(fields[0]));
      for (size_t i = 1; i < fields.size(); ++i) {
        TargetOs target;
        ASSERT_TRUE(ParseDecoration(fields[i], &target)) << "malformed decoration " << fields[i];
        EXPECT_EQ(target.architecture, "AMD64") << fields[i];
        EXPECT_EQ(target.major, 10) << fields[i];
        EXPECT_EQ(target.minor, 0) << fields[i];
        EXPECT_GE(target.build, kFirstDriverStoreBuild) << fields[i] << " offers %13% to builds that lack it";
        modelSections.insert(Upper(fields[0] + "." + fields[i]));
      }
    }
  ASSERT_FALSE(modelSections.empty());

  char cameraId[32];
  snprintf(cameraId, sizeof cameraId, "USB\\VID_%04X&PID_%04X", kCameraFirmwareVendorId, kCameraFirmwareProductId);
  for (const std::string& name : modelSections) {
    auto section = inf.sections.find(name);
    ASSERT_NE(section, inf.sections.end()) << "no models section [" << name << "]";
    std::set<std::string> ids;
    for (const auto& [description, values] : section->second)
      for (const std::string& value : values) {
        std::vector<std::string> fields = Fields(value);
        ASSERT_GE(fields.size(), 2u) << value;
        for (const char* suffix : {".NT", ".NT.SERVICES", ".NT.INTERFACES"})
          EXPECT_TRUE(inf.sections.count(Upper(fields[0]) + suffix)) << "no section " << fields[0] << suffix;
        ids.insert(Upper(fields[1]));
      }
    EXPECT_TRUE(ids.count(cameraId)) << name << " does not bind " << cameraId;
  }
  // A models section no manufacturer entry names is dead text, most often one
  // left behind when the decoration changed.
  for (const auto& [name, entries] : inf.sections)
    for (const std::string& base : modelBases)
      if (name == base || name.rfind(base + ".", 0) == 0) {
        EXPECT_TRUE(modelSections.count(name)) << "[" << name << "] is never used";
      }
}

TEST(WindowsInf, InstallsADemandStartKernelServiceAsACameraPackage) {
  Inf inf = ReadInf();
  EXPECT_EQ(inf.Value("Version", "Class"), "Camera");
  EXPECT_EQ(inf.Value("Version", "PnpLockdown"), "1");
  EXPECT_EQ(inf.Value("Version", "CatalogFile"), "kscam.cat");
  EXPECT_EQ(inf.Value("Camera.Service", "ServiceType"), "1");
  EXPECT_EQ(inf.Value("Camera.Service", "StartType"), "3");
  EXPECT_NE(inf.Value("Camera.NT", "Needs").find("KS.Registration"), std::string::npos);
  EXPECT_NE(inf.Value("Camera.NT", "Needs").find("KSCAPTUR.Registration"), std::string::npos);
  EXPECT_NE(inf.Value("Camera.NT.Services", "AddService").find("Camera.Service"), std::string::npos);
}

}  // namespace
