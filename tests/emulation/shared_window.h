// The shared-memory window of one emulated CTA. Shared addresses are what
// the instructions see (ldmatrix row addresses, cp.async and TMA
// destinations, wgmma descriptors); the kernels' CuTe code works on host
// pointers into the window and converts them as the hardware's cvta does.
// The dynamic shared memory starts 1024 bytes in, aligned as the kernels
// declare it, so address-based swizzles see the bits they see on the GPU.
#pragma once

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace quorl::emu {

// What the emulated hardware finds wrong: a misaligned or out-of-window
// access, an accumulator that misses its dot product, a hang. A test expects
// none, or some for a deliberately wrong configuration.
class Faults {
 public:
  static Faults& log() {
    static Faults faults;
    return faults;
  }
  void report(const std::string& what) {
    if (count_++ < 5) first_ += what + "\n";
  }
  int64_t count() const { return count_; }
  const std::string& first() const { return first_; }
  void clear() {
    count_ = 0;
    first_.clear();
  }

 private:
  int64_t count_ = 0;
  std::string first_;
};

// Reports `what` when `ok` is false.
inline void expect_hw(bool ok, const char* what) {
  if (!ok) Faults::log().report(what);
}

class SharedWindow {
 public:
  static constexpr uint32_t kBase = 1024;

  explicit SharedWindow(uint32_t bytes) : bytes_(bytes), storage_(kBase + bytes + kAlign) {
    const auto raw = reinterpret_cast<uintptr_t>(storage_.data());
    origin_ = storage_.data() + (kAlign - raw % kAlign) % kAlign;
    active() = this;
  }
  ~SharedWindow() {
    if (active() == this) active() = nullptr;
  }
  SharedWindow(const SharedWindow&) = delete;
  SharedWindow& operator=(const SharedWindow&) = delete;

  // Host pointer of the CTA's first dynamic shared byte.
  int8_t* dynamic() { return reinterpret_cast<int8_t*>(origin_ + kBase); }
  uint32_t size() const { return bytes_; }

  // Shared address of a host pointer into the window; fails the test (and
  // returns 0) for a pointer outside the CTA's dynamic shared memory.
  uint32_t address(const void* p) const {
    const auto* byte = static_cast<const uint8_t*>(p);
    if (byte < origin_ + kBase || byte >= origin_ + kBase + bytes_) {
      Faults::log().report("a shared address outside the CTA's shared memory");
      return 0;
    }
    return uint32_t(byte - origin_);
  }
  // The bytes at a shared address, `count` of them inside the window.
  uint8_t* at(uint32_t address, uint32_t count = 1) {
    if (address < kBase || address + count > kBase + bytes_) {
      Faults::log().report("a shared access outside the CTA's shared memory at " +
                           std::to_string(address));
      return scratch_;
    }
    return origin_ + address;
  }

  void fill(uint8_t value) { std::memset(origin_ + kBase, value, bytes_); }

  // The window CuTe's cvta on the host refers to: the most recent one.
  static SharedWindow*& active() {
    static SharedWindow* window = nullptr;
    return window;
  }

 private:
  static constexpr uintptr_t kAlign = 1 << 18;  // the 256 KB span descriptors address
  uint32_t bytes_;
  std::vector<uint8_t> storage_;
  uint8_t* origin_;
  uint8_t scratch_[256] = {};
};

}  // namespace quorl::emu
