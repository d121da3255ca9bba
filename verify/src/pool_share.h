// Shares checked against the job a pool issued: the job fixes the dims, the
// target and the seed space; the share adds only seeds, nonces and a cell.
#pragma once

#include <string>

#include "quorl_verify.h"

namespace quorl::verify {

// "" when shares of the job can be checked, else why not.
std::string job_problem(const QvJob& job);

// QV_SHARE_ACCEPTED when the share lies in the job's seed space and claims a
// cell of the grid, else the first of those two that fails. Nothing is rebuilt.
int share_precheck(const QvJob& job, const QvShare& share);

// The record of the share's attempt (claims left empty), for the rebuild.
QvRecord share_record(const QvJob& job, const QvShare& share);

// See qv_canonical_share.
QvShare canonical_share(const QvJob& job, const QvShare& share);

}  // namespace quorl::verify
