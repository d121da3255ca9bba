// The C face of the verifier: checks the record, runs the C++ model, turns
// every failure (including running out of memory) into a status and a line.
#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "attempt.h"
#include "quorl_ref/engine_messages.hpp"
#include "quorl_verify.h"
#include "record_json.h"
#include "pool_share.h"

namespace {

using namespace quorl::verify;

int report(int status, const std::string& why, char* error, size_t size) {
  if (error != nullptr && size > 0) {
    const size_t n = std::min(why.size(), size - 1);
    std::memcpy(error, why.data(), n);
    error[n] = '\0';
  }
  return status;
}

void store(const Cv& cv, uint32_t out[8]) { std::copy(cv.begin(), cv.end(), out); }

// Runs `body` on a checked record; exceptions become QV_BAD_RECORD.
template <class Body>
int guarded(const QvRecord* record, char* error, size_t size, Body&& body) {
  if (record == nullptr) return report(QV_BAD_RECORD, "no record", error, size);
  const std::string problem = record_problem(*record);
  if (!problem.empty()) return report(QV_BAD_RECORD, problem, error, size);
  try {
    report(QV_OK, "", error, size);
    return body();
  } catch (const std::bad_alloc&) {
    return report(QV_BAD_RECORD, "out of memory rebuilding the attempt", error, size);
  } catch (const std::exception& e) {
    return report(QV_BAD_RECORD, e.what(), error, size);
  }
}

int32_t stratum_code(int reason) {
  switch (reason) {
    case QV_SHARE_ACCEPTED: return 0;
    case QV_SHARE_ABOVE_TARGET: return 23;
    default: return 20;
  }
}

int refuse_share(QvShareVerdict& verdict, int reason) {
  verdict.reason = reason;
  verdict.stratum_code = stratum_code(reason);
  return reason == QV_SHARE_ACCEPTED ? QV_OK : QV_INVALID;
}

}  // namespace

extern "C" {

int qv_attempt_roots(const QvRecord* record, int threads, uint32_t a_hash[8], uint32_t b_hash[8],
                     uint32_t a_seed[8], uint32_t b_seed[8], char* error, size_t error_size) {
  return guarded(record, error, error_size, [&] {
    const Roots roots = attempt_roots(*record, attempt_matrices(*record, threads), threads);
    store(roots.a_hash, a_hash);
    store(roots.b_hash, b_hash);
    store(roots.seeds.a_seed, a_seed);
    store(roots.seeds.b_seed, b_seed);
    return QV_OK;
  });
}

int qv_cell(const QvRecord* record, int32_t cell, int threads, uint32_t message[16],
            uint32_t hash[8], char* error, size_t error_size) {
  if (record == nullptr) return report(QV_BAD_RECORD, "no record", error, error_size);
  // The record's own claim does not matter here, only the cell asked for.
  QvRecord probe = *record;
  probe.found = -1;
  probe.has_hash = 0;
  if (record_problem(probe).empty()) {
    probe.found = cell;
    if (cell < 0 || !record_problem(probe).empty()) {
      return report(QV_BAD_RECORD, "cell " + std::to_string(cell) + " is outside the grid", error,
                    error_size);
    }
  }
  return guarded(&probe, error, error_size, [&] {
    const Matrices plain = attempt_matrices(probe, threads);
    const Roots roots = attempt_roots(probe, plain, threads);
    const Cell c = attempt_cell(probe, plain, roots.seeds, cell);
    std::copy(c.message.begin(), c.message.end(), message);
    store(c.hash, hash);
    return QV_OK;
  });
}

int qv_verify(const QvRecord* record, int threads, QvVerdict* verdict, char* error,
              size_t error_size) {
  if (verdict == nullptr) return report(QV_BAD_RECORD, "no verdict", error, error_size);
  std::memset(verdict, 0, sizeof *verdict);
  return guarded(record, error, error_size, [&] {
    const QvRecord& r = *record;
    const Matrices plain = attempt_matrices(r, threads);
    const Roots roots = attempt_roots(r, plain, threads);
    store(roots.a_hash, verdict->a_hash);
    store(roots.b_hash, verdict->b_hash);
    store(roots.seeds.a_seed, verdict->a_seed);
    store(roots.seeds.b_seed, verdict->b_seed);
    if (roots.a_hash != to_cv(r.a_hash)) {
      verdict->fault = QV_FAULT_A_HASH;
    } else if (roots.b_hash != to_cv(r.b_hash)) {
      verdict->fault = QV_FAULT_B_HASH;
    } else if (roots.seeds.b_seed != to_cv(r.b_seed)) {
      verdict->fault = QV_FAULT_B_SEED;
    } else if (roots.seeds.a_seed != to_cv(r.a_seed)) {
      verdict->fault = QV_FAULT_A_SEED;
    }
    if (r.found >= 0) {
      const Cell c = attempt_cell(r, plain, roots.seeds, r.found);
      verdict->has_cell = 1;
      std::copy(c.message.begin(), c.message.end(), verdict->message);
      store(c.hash, verdict->hash);
      if (verdict->fault == QV_FAULT_NONE) {
        if (r.has_hash && c.hash != to_cv(r.hash)) {
          verdict->fault = QV_FAULT_HASH;
        } else if (!quorl::ref::meets_target(c.hash, to_cv(r.target))) {
          verdict->fault = QV_FAULT_TARGET;
        }
      }
    }
    return verdict->fault == QV_FAULT_NONE ? QV_OK : QV_INVALID;
  });
}

int qv_parse_record(const char* json, size_t length, QvRecord* record, char* error,
                    size_t error_size) {
  if (record == nullptr || (json == nullptr && length > 0)) {
    return report(QV_BAD_RECORD, "no record", error, error_size);
  }
  try {
    const std::string problem = parse_record(std::string_view(json ? json : "", length), *record);
    return report(problem.empty() ? QV_OK : QV_BAD_RECORD, problem, error, error_size);
  } catch (const std::exception& e) {
    return report(QV_BAD_RECORD, e.what(), error, error_size);
  }
}

int qv_check_job(const QvJob* job, char* error, size_t error_size) {
  if (job == nullptr) return report(QV_BAD_RECORD, "no job", error, error_size);
  const std::string problem = job_problem(*job);
  return report(problem.empty() ? QV_OK : QV_BAD_RECORD, problem, error, error_size);
}

int qv_check_share(const QvJob* job, const QvShare* share, int threads, QvShareVerdict* verdict,
                   char* error, size_t error_size) {
  if (verdict == nullptr) return report(QV_BAD_RECORD, "no verdict", error, error_size);
  std::memset(verdict, 0, sizeof *verdict);
  if (share == nullptr) return report(QV_BAD_RECORD, "no share", error, error_size);
  const int status = qv_check_job(job, error, error_size);
  if (status != QV_OK) return status;
  // Everything the miner chose is checked before any work is done.
  const int reason = share_precheck(*job, *share);
  if (reason != QV_SHARE_ACCEPTED) return refuse_share(*verdict, reason);
  const QvRecord record = share_record(*job, *share);
  return guarded(&record, error, error_size, [&] {
    const Matrices plain = attempt_matrices(record, threads);
    const Roots roots = attempt_roots(record, plain, threads);
    const Cell c = attempt_cell(record, plain, roots.seeds, record.found);
    store(roots.a_hash, verdict->a_hash);
    store(roots.b_hash, verdict->b_hash);
    store(roots.seeds.a_seed, verdict->a_seed);
    store(roots.seeds.b_seed, verdict->b_seed);
    std::copy(c.message.begin(), c.message.end(), verdict->message);
    store(c.hash, verdict->hash);
    verdict->has_cell = 1;
    const bool meets = quorl::ref::meets_target(c.hash, to_cv(record.target));
    return refuse_share(*verdict, meets ? QV_SHARE_ACCEPTED : QV_SHARE_ABOVE_TARGET);
  });
}

int qv_canonical_share(const QvJob* job, const QvShare* share, QvShare* canonical, char* error,
                       size_t error_size) {
  if (share == nullptr || canonical == nullptr) {
    return report(QV_BAD_RECORD, "no share", error, error_size);
  }
  const int status = qv_check_job(job, error, error_size);
  if (status == QV_OK) *canonical = canonical_share(*job, *share);
  return status;
}

const char* qv_share_reason_text(int reason) {
  switch (reason) {
    case QV_SHARE_OUTSIDE_SPACE: return "outside your seed space";
    case QV_SHARE_NO_CELL: return "invalid share";
    case QV_SHARE_ABOVE_TARGET: return "share above target";
  }
  return "";
}

size_t qv_format_record(const QvRecord* record, char* out, size_t size) {
  if (record == nullptr) return 0;
  std::string text;
  try {
    text = format_record(*record);
  } catch (const std::exception&) {
    return 0;
  }
  if (out != nullptr && size > 0) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return text.size();
}

}  // extern "C"
