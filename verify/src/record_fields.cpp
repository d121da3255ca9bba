#include "record_fields.h"

#include <cstring>
#include <optional>

#include "quorl_ref/hex.hpp"

namespace quorl::verify {

struct FieldInfo {
  const char* name;
  FieldKind kind;
  size_t offset;  // of the member in QvRecord
  FieldSet bit;
};

namespace {

#define QV_FIELD(name, kind, member, bit) \
  FieldInfo { name, FieldKind::kind, offsetof(QvRecord, member), FieldSet(1) << bit }

const FieldInfo kFields[] = {
    QV_FIELD("mode", kMode, mode, 0),
    QV_FIELD("m", kDim, m, 1),
    QV_FIELD("n", kDim, n, 2),
    QV_FIELD("k", kDim, k, 3),
    QV_FIELD("key", kHex32, key, 4),
    QV_FIELD("target", kHex32, target, 5),
    QV_FIELD("seed_a", kU64, seed_a, 6),
    QV_FIELD("seed_b", kU64, seed_b, 7),
    QV_FIELD("prepare_seed", kU64, prepare_seed, 8),
    QV_FIELD("first_nonce", kU64, first_nonce, 9),
    QV_FIELD("nonce", kU64, nonce, 10),
    QV_FIELD("a_hash", kHex32, a_hash, 11),
    QV_FIELD("b_hash", kHex32, b_hash, 12),
    QV_FIELD("a_seed", kHex32, a_seed, 13),
    QV_FIELD("b_seed", kHex32, b_seed, 14),
    QV_FIELD("found", kFound, found, 15),
    QV_FIELD("hash", kHex32, hash, 16),
    // Informational: the device that mined the attempt.
    FieldInfo{"device", FieldKind::kText, 0, FieldSet(1) << 17},
};

#undef QV_FIELD

const FieldInfo& field(const char* name) { return *find_field(name); }

std::optional<uint64_t> parse_decimal(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = uint64_t(c - '0');
    if (v > (max - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return v;
}

}  // namespace

const FieldInfo* find_field(std::string_view name) {
  for (const FieldInfo& f : kFields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

FieldKind field_kind(const FieldInfo& f) { return f.kind; }

std::string assign_field(QvRecord& record, FieldSet& present, const FieldInfo& f,
                         std::string_view value) {
  auto* at = reinterpret_cast<unsigned char*>(&record) + f.offset;
  const std::string name = f.name;
  switch (f.kind) {
    case FieldKind::kMode: {
      int32_t mode;
      if (value == "full") {
        mode = QV_MODE_FULL;
      } else if (value == "bonly") {
        mode = QV_MODE_BONLY;
      } else {
        return "mode must be \"full\" or \"bonly\"";
      }
      std::memcpy(at, &mode, sizeof mode);
      break;
    }
    case FieldKind::kDim: {
      const auto v = parse_decimal(value, INT32_MAX);
      if (!v || *v == 0) return name + " must be a positive integer below 2^31";
      const int32_t dim = int32_t(*v);
      std::memcpy(at, &dim, sizeof dim);
      break;
    }
    case FieldKind::kHex32: {
      const auto cv = ref::parse_hex32(value);
      if (!cv) return name + " must be 64 hex digits";
      std::memcpy(at, cv->data(), 32);
      if (&f == &field("hash")) record.has_hash = 1;
      break;
    }
    case FieldKind::kU64: {
      const auto v = parse_decimal(value, UINT64_MAX);
      if (!v) return name + " must be an unsigned 64-bit decimal integer";
      std::memcpy(at, &*v, sizeof *v);
      break;
    }
    case FieldKind::kFound: {
      int32_t found;
      if (value == "-1") {
        found = -1;
      } else {
        const auto v = parse_decimal(value, INT32_MAX);
        if (!v) return "found must be -1 or a grid index";
        found = int32_t(*v);
      }
      std::memcpy(at, &found, sizeof found);
      break;
    }
    case FieldKind::kText:
      break;
  }
  present |= f.bit;
  return "";
}

std::string missing_field(const QvRecord& record, FieldSet present) {
  static const char* const kCommon[] = {"mode",   "m",      "n",      "k",      "key", "target",
                                        "a_hash", "b_hash", "a_seed", "b_seed", "found"};
  static const char* const kFull[] = {"seed_a", "seed_b"};
  static const char* const kBonly[] = {"prepare_seed", "first_nonce", "nonce"};
  for (const char* name : kCommon) {
    if (!(present & field(name).bit)) return name;
  }
  if (record.mode == QV_MODE_FULL) {
    for (const char* name : kFull) {
      if (!(present & field(name).bit)) return name;
    }
  } else {
    for (const char* name : kBonly) {
      if (!(present & field(name).bit)) return name;
    }
  }
  return "";
}

QvRecord empty_record() {
  QvRecord r;
  std::memset(&r, 0, sizeof r);
  r.found = -1;
  return r;
}

}  // namespace quorl::verify
