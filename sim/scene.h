// What the camera looks at: full-sensor scenes seen through the colour-filter
// mosaic, rendered once per process and shared by every simulated camera.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace sim {

// Scene names: "chart" (the default test chart), "bars" (eight 75% colour
// bars) and "ramp" (a grey ramp whose value encodes the sample's position:
// (column + 7 × row) mod 251, for geometry checks).
bool IsKnownScene(const std::string& name);
std::vector<std::string> SceneNames();

// Colour of the mosaic at a sensor position: green/red on even rows, blue/
// green on odd rows, starting with green at (0, 0).
enum class FilterColour { Red, Green, Blue };
FilterColour FilterAt(uint32_t row, uint32_t column);

// Value of the bars scene's colour channel in bar `index` (0..7, left to
// right: white, yellow, cyan, green, magenta, red, blue, black).
constexpr uint8_t kBarLevel = 191;  // 75% of 255
uint8_t BarValue(int index, FilterColour colour);

// The full-sensor mosaic of a scene (kSensorWidth × kSensorHeight scene
// values, row-major). Throws std::invalid_argument for an unknown name.
std::shared_ptr<const std::vector<uint8_t>> SceneMosaic(const std::string& name);

// One camera's view of a scene: the shared mosaic, plus the chart's moving
// element drawn into a private copy when it is on.
class SceneView {
 public:
  SceneView(const std::string& name, bool movingElement);
  // The mosaic for the frame with this index (the moving element's position
  // follows the index). Renders the scene on first use.
  const uint8_t* Frame(uint64_t frameIndex);

 private:
  struct Box {
    uint32_t top = 0, left = 0, bottom = 0, right = 0;  // half-open
  };
  void DrawElement(uint64_t frameIndex);

  std::string name_;
  bool moving_;
  std::shared_ptr<const std::vector<uint8_t>> base_;
  std::vector<uint8_t> working_;  // base plus the element, when moving
  Box drawn_;                     // where the element currently is in working_
};

}  // namespace sim
