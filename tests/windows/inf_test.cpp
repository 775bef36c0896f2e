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

#include "stream/descriptors.h"
#include "stream/ks_guids.h"

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

TEST(WindowsInf, InterfacesCoverTheFilterCategoriesUnderGlobal) {
  Inf inf = ReadInf();
  std::set<std::string> published;
  for (const std::string& entry : inf.sections["CAMERA.NT.INTERFACES"]["ADDINTERFACE"]) {
    size_t first = entry.find(',');
    size_t second = entry.find(',', first + 1);
    ASSERT_NE(second, std::string::npos) << entry;
    EXPECT_EQ(inf.Resolve(entry.substr(first + 1, second - first - 1)), "GLOBAL") << entry;
    published.insert(Upper(inf.Resolve(entry.substr(0, first))));
  }
  for (ULONG i = 0; i < kFilterDescriptor.CategoriesCount; ++i)
    EXPECT_TRUE(published.count(GuidText(kFilterDescriptor.Categories[i])))
        << GuidText(kFilterDescriptor.Categories[i]) << " is not published";
  EXPECT_TRUE(published.count(GuidText(kCategoryVideoCamera))) << "the video-camera category is missing";
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
