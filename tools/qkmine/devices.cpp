#include "devices.h"

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qkmine {

int visible_gpus() {
  int count = 0;
  return cudaGetDeviceCount(&count) == cudaSuccess ? count : 0;
}

std::optional<Device> pick_device(const std::optional<std::string>& requested) {
  if (!requested) {
    if (visible_gpus() > 0) return Device{false, 0};
    std::fprintf(stderr, "qkmine: no CUDA device visible; running on the CPU reference model\n");
    return Device{};
  }
  if (*requested == "cpu") return Device{};
  char* end = nullptr;
  const long ordinal = std::strtol(requested->c_str(), &end, 10);
  if (requested->empty() || *end != '\0' || ordinal < 0) return std::nullopt;
  return Device{false, int(ordinal)};
}

std::vector<Device> parse_device_list(const std::string& text, int visible, std::string& error) {
  std::vector<Device> devices;
  if (text == "cpu") return {Device{}};
  if (text == "all") {
    for (int i = 0; i < visible; ++i) devices.push_back(Device{false, i});
    return devices;
  }
  size_t at = 0;
  while (true) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    if (item.empty() || item.size() > 4 || item.find_first_not_of("0123456789") != std::string::npos) {
      error = "--devices takes a list of GPU ordinals (0,1,...), 'all' or 'cpu'";
      return {};
    }
    const int ordinal = std::atoi(item.c_str());
    if (ordinal >= visible) {
      error = "GPU " + item + " is not visible (" + std::to_string(visible) + " visible)";
      return {};
    }
    for (const Device& d : devices) {
      if (d.gpu == ordinal) {
        error = "GPU " + item + " is listed twice";
        return {};
      }
    }
    devices.push_back(Device{false, ordinal});
    if (comma == text.size()) return devices;
    at = comma + 1;
  }
}

}  // namespace qkmine
