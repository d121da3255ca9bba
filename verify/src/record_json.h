// A record as one flat JSON object: strings and integers only.
#pragma once

#include <string>
#include <string_view>

#include "quorl_verify.h"

namespace quorl::verify {

// Reads one object; "" on success, else the first problem found (syntax,
// a duplicate or malformed field, a field the mode needs but lacks).
std::string parse_record(std::string_view json, QvRecord& record);

// One line, fields in a fixed order, only those of the record's mode; the
// "device" field is added when `device` is not empty.
std::string format_record(const QvRecord& record, std::string_view device = {});

}  // namespace quorl::verify
