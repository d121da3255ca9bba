#include "quorl_ref/hex.hpp"

namespace quorl::ref {
namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string to_hex(const Cv& value) {
  static const char kDigits[] = "0123456789abcdef";
  uint8_t bytes[32];
  cv_to_bytes(value, bytes);
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

std::optional<Cv> parse_hex32(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) {
    const int hi = digit_value(text[2 * i]), lo = digit_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = uint8_t(hi << 4 | lo);
  }
  return cv_from_bytes(bytes);
}

}  // namespace quorl::ref
