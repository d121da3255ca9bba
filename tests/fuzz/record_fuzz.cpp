// libFuzzer target: any bytes as a JSON record, and the same bytes laid over
// a QvRecord, through the parser, the writer and the verifier. Nothing may
// crash, leak or read out of bounds; every refusal must come with a reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quorl_verify.h"

namespace {

// Records whose matrices are small enough to rebuild many times a second.
bool small(const QvRecord& r) {
  return int64_t(r.m) * r.k <= (int64_t(1) << 16) && int64_t(r.n) * r.k <= (int64_t(1) << 16);
}

void check_reason(int status, const char* error) {
  if (status == QV_BAD_RECORD && error[0] == '\0') std::abort();
}

void exercise(const QvRecord& r) {
  char error[256] = "";
  QvVerdict verdict;
  const int status = qv_verify(&r, 1, &verdict, error, sizeof error);
  check_reason(status, error);
  if (status != QV_BAD_RECORD && r.found >= 0 && !verdict.has_cell) std::abort();
  uint32_t message[16], hash[8];
  error[0] = '\0';
  check_reason(qv_cell(&r, r.found, 1, message, hash, error, sizeof error), error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QvRecord record;
  char error[256] = "";
  const int status = qv_parse_record(reinterpret_cast<const char*>(data), size, &record, error, sizeof error);
  check_reason(status, error);
  if (status == QV_OK) {
    // What the writer prints, the reader takes back unchanged.
    char text[1024], again[1024];
    const size_t n = qv_format_record(&record, text, sizeof text);
    if (n >= sizeof text) std::abort();
    QvRecord back;
    if (qv_parse_record(text, n, &back, error, sizeof error) != QV_OK) std::abort();
    qv_format_record(&back, again, sizeof again);
    if (std::strcmp(text, again) != 0) std::abort();
    if (small(record)) exercise(record);
  }
  if (size >= sizeof(QvRecord)) {
    std::memcpy(&record, data, sizeof record);
    if (small(record)) exercise(record);
  }
  return 0;
}
