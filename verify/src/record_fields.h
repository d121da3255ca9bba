// The fields of a record by name, shared by the JSON reader and qkmine's
// options: each name has one type and one place in QvRecord.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quorl_verify.h"

namespace quorl::verify {

// Which fields a record has received, one bit per field.
using FieldSet = uint32_t;

enum class FieldKind { kMode, kDim, kHex32, kU64, kFound, kText };

// The field called `name`, or null for a name records do not have.
struct FieldInfo;
const FieldInfo* find_field(std::string_view name);
FieldKind field_kind(const FieldInfo& f);

// Stores `value` (a mode word, a decimal integer or 64 hex digits, as the
// field's type asks) into the record and marks it in `present`. Returns ""
// or why the value was refused.
std::string assign_field(QvRecord& record, FieldSet& present, const FieldInfo& field,
                         std::string_view value);

// "" when every field the record's mode needs is present, else which one is
// missing.
std::string missing_field(const QvRecord& record, FieldSet present);

// A fresh record: all zero, found = -1, no hash.
QvRecord empty_record();

}  // namespace quorl::verify
