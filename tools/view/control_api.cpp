#include "tools/view/control_api.h"

#include <limits>

namespace kscam::view {

namespace {

using nlohmann::json;

constexpr int kBadRequest = 400;
constexpr int kUnprocessable = 422;

ParsedValue Refuse(int status, const std::string& error) { return ParsedValue{status, 0, error}; }

// A JSON number that is a whole number within 32 bits.
ParsedValue WholeNumber(const json& value, const std::string& what) {
  if (value.is_boolean() || !value.is_number())
    return Refuse(kUnprocessable, what + " takes a whole number, not " + value.dump());
  if (value.is_number_float()) return Refuse(kUnprocessable, what + " takes a whole number, not " + value.dump());
  if (value.is_number_unsigned() ? value.get<uint64_t>() > uint64_t(std::numeric_limits<int32_t>::max())
                                 : (value.get<int64_t>() < std::numeric_limits<int32_t>::min() ||
                                    value.get<int64_t>() > std::numeric_limits<int32_t>::max()))
    return Refuse(kUnprocessable, what + " is out of range: " + value.dump() + " does not fit 32 bits");
  return ParsedValue{200, int32_t(value.get<int64_t>()), ""};
}

ParsedValue Switch(const json& value, const std::string& what) {
  if (value.is_boolean()) return ParsedValue{200, value.get<bool>() ? 1 : 0, ""};
  ParsedValue number = WholeNumber(value, what);
  if (number.status != 200) return Refuse(kUnprocessable, what + " takes true or false, not " + value.dump());
  if (number.value != 0 && number.value != 1)
    return Refuse(kUnprocessable, what + " is out of range: a switch is 0 or 1, not " + value.dump());
  return number;
}

bool ParseJson(const std::string& body, json* document, ParsedValue* failure) {
  *document = json::parse(body, nullptr, false);
  if (!document->is_discarded()) return true;
  *failure = Refuse(kBadRequest, "the body is not JSON");
  return false;
}

}  // namespace

int32_t* RegionField(Region& region, const std::string& control) {
  if (control == "subsampling") return &region.mode;
  if (control == "region_left") return &region.left;
  if (control == "region_top") return &region.top;
  if (control == "region_width") return &region.width;
  if (control == "region_height") return &region.height;
  return nullptr;
}

json ControlJson(const ControlInfo& control) {
  json flags = json::array();
  if (control.refusedWhilePinOpen) flags.push_back("restarts_stream");
  else if (control.readOnly) flags.push_back("read_only");
  return json{{"name", control.name},
              {"type", control.type == ControlType::Boolean ? "boolean" : "integer"},
              {"minimum", control.minimum},
              {"maximum", control.maximum},
              {"step", control.step},
              {"default", control.defaultValue},
              {"value", control.current},
              {"flags", flags}};
}

json RegionJson(const Region& region) {
  return json{{"mode", region.mode},
              {"left", region.left},
              {"top", region.top},
              {"width", region.width},
              {"height", region.height}};
}

ParsedValue ParseControlValue(const std::string& body, const ControlInfo& control) {
  json document;
  ParsedValue failure;
  if (!ParseJson(body, &document, &failure)) return failure;
  if (document.is_object()) {
    if (!document.contains("value")) return Refuse(kUnprocessable, "the object has no \"value\"");
    document = document["value"];
  }
  return control.type == ControlType::Boolean ? Switch(document, control.name) : WholeNumber(document, control.name);
}

ParsedValue ParseRegion(const std::string& body, const Region& current, Region* region) {
  json document;
  ParsedValue failure;
  if (!ParseJson(body, &document, &failure)) return failure;
  if (!document.is_object()) return Refuse(kUnprocessable, "a region is an object of mode, left, top, width, height");
  *region = current;
  const struct {
    const char* name;
    int32_t* field;
  } fields[] = {{"mode", &region->mode},   {"left", &region->left},   {"top", &region->top},
                {"width", &region->width}, {"height", &region->height}};
  size_t known = 0;
  for (const auto& field : fields) {
    if (!document.contains(field.name)) continue;
    ++known;
    ParsedValue value = WholeNumber(document[field.name], field.name);
    if (value.status != 200) return value;
    *field.field = value.value;
  }
  if (known != document.size()) return Refuse(kUnprocessable, "a region has only mode, left, top, width and height");
  return ParsedValue{};
}

std::string ErrorBody(const std::string& message) { return json{{"error", message}}.dump(); }

}  // namespace kscam::view
