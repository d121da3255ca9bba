// 32-byte values as text: 64 lowercase hex digits, byte 0 first (the order
// b3sum prints a hash in).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "blake3.hpp"

namespace quorl::ref {

std::string to_hex(const Cv& value);
// Exactly 64 hex digits (either case); nothing else is accepted.
std::optional<Cv> parse_hex32(std::string_view text);

}  // namespace quorl::ref
