// Size of the persisting-L2 window that keeps the multiplied A resident.
#pragma once

#include <cstdint>

namespace quorl {

// The whole of A, unless the device caps access-policy windows below that.
inline int64_t persist_window_bytes(int64_t a_bytes, int64_t max_window) {
  return (max_window > 0 && max_window < a_bytes) ? max_window : a_bytes;
}

}  // namespace quorl
