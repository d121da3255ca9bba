// The GPU check runs the device tier under compute-sanitizer, which makes
// every kernel many times slower, with QK_DEVICE_TEST_SMALL=1 set: device
// tests then keep to their small shapes and start no child processes (the
// sanitizer would follow them, as slowly).
#pragma once

#include <cstdlib>
#include <cstring>

namespace quorl::test {

inline bool small_shapes_only() {
  const char* v = std::getenv("QK_DEVICE_TEST_SMALL");
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace quorl::test
