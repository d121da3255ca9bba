#include "bench_shapes.h"

#include <algorithm>
#include <cstdio>

#include "../../cuda/frame/shape_check.h"

namespace qkmine {

std::string parse_shapes(const std::string& text, std::vector<BenchShape>& shapes) {
  shapes.clear();
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    BenchShape s{};
    int used = 0;
    if (std::sscanf(item.c_str(), "%dx%dx%d%n", &s.m, &s.n, &s.k, &used) != 3 || used != int(item.size())) {
      return "--shapes takes MxNxK[,MxNxK...], e.g. 8192x8192x2048";
    }
    const int32_t label = 0;
    if (quorl::check_shape(s.m, s.n, s.k, &label, &label) != quorl::ShapeFault::kNone) {
      return "unsupported shape " + item + ": m a positive multiple of 128, n of 256, k of 64, "
             "and m*k, n*k each 1024 * 2^L bytes";
    }
    shapes.push_back(s);
    at = comma + 1;
  }
  return "";
}

}  // namespace qkmine
