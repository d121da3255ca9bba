#include "record_sink.h"

#include "record_json.h"

namespace qkmine {

void RecordLines::accept(const QvRecord& record, const std::string& device, uint64_t) {
  const std::string line = quorl::verify::format_record(record, device);
  std::lock_guard<std::mutex> lock(lock_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

}  // namespace qkmine
