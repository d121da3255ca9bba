// A large byte buffer for a rebuilt matrix: left uninitialised (every byte is
// about to be generated) and aligned to 2 MiB with huge pages requested, so
// that filling 16 MiB costs a handful of page faults instead of thousands.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace quorl::verify {

class HostBuffer {
 public:
  HostBuffer() = default;
  explicit HostBuffer(int64_t bytes) : size_(bytes) {
    constexpr size_t kHuge = size_t(2) << 20;
    const size_t rounded = (size_t(bytes) + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p == nullptr) throw std::bad_alloc();
    ::madvise(p, rounded, MADV_HUGEPAGE);  // advice only; failure changes nothing
    data_.reset(static_cast<int8_t*>(p));
  }
  int8_t* data() { return data_.get(); }
  const int8_t* data() const { return data_.get(); }
  int64_t size() const { return size_; }

 private:
  struct Free {
    void operator()(int8_t* p) const { std::free(p); }
  };
  std::unique_ptr<int8_t, Free> data_;
  int64_t size_ = 0;
};

}  // namespace quorl::verify
