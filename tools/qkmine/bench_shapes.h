// The shapes `qkmine bench --shapes` names: "MxNxK,MxNxK,...".
#pragma once

#include <string>
#include <vector>

namespace qkmine {

struct BenchShape {
  int m, n, k;
};

// "" and the shapes, or why the list is refused (syntax, or a shape the
// library's contexts refuse).
std::string parse_shapes(const std::string& text, std::vector<BenchShape>& shapes);

}  // namespace qkmine
