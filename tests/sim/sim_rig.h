// A simulated camera attached to a recording sink, driven through a probe.
#pragma once

#include <string>

#include "contract/device_probe.h"
#include "sim/simulated_camera.h"

struct SimRig {
  explicit SimRig(const sim::CameraOptions& options = sim::CameraOptions()) : camera(options), probe(camera) {
    camera.Attach(&sink);
    camera.SelectConfiguration(sim::kConfigurationValue);
  }
  ~SimRig() { camera.Detach(); }

  sim::SimulatedCamera camera;
  probe::RecordingSink sink;
  probe::DeviceProbe probe;
};

inline sim::CameraOptions SceneOptions(const std::string& scene, sim::SensorChip chip = sim::SensorChip::Rev1800) {
  sim::CameraOptions options;
  options.scene = scene;
  options.chip = chip;
  return options;
}
