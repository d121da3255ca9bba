// Which compute devices a qkmine command runs on.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qkmine {

struct Device {
  bool cpu = true;  // the reference model on the host
  int gpu = 0;      // CUDA ordinal when !cpu
  std::string name() const { return cpu ? "cpu" : "gpu:" + std::to_string(gpu); }
};

int visible_gpus();

// "--device N|cpu", or the default: GPU 0 when one is visible, else the CPU
// with a one-line notice on stderr. nullopt for a malformed value.
std::optional<Device> pick_device(const std::optional<std::string>& requested);

// "--devices LIST|all|cpu" against `visible` GPUs: "cpu" is the one CPU
// device, "all" every visible GPU (none when none is visible), LIST
// comma-separated distinct ordinals below `visible`. On a malformed or
// impossible list, `error` says why and the result is empty.
std::vector<Device> parse_device_list(const std::string& text, int visible, std::string& error);

}  // namespace qkmine
