// qkmine bench --plot: the benchmark's JSON lines drawn by
// scripts/plot_bench.py with matplotlib, PNG or SVG by the file's extension.
#pragma once

#include <string>
#include <vector>

namespace qkmine {

// Whether `path` ends in .png or .svg.
bool plot_format_known(const std::string& path);

// Where the script is: beside the running program (the build tree), in
// ../share/qkmine (an installed tree), else in the source tree qkmine was
// built from.
std::string plot_script();

// Runs `script` with Python (QKMINE_PYTHON, else /usr/bin/python3, which
// Debian's matplotlib serves, else python3 on PATH) over `json_lines`,
// writing `path`. "" or why not.
std::string draw_plot(const std::vector<std::string>& json_lines, const std::string& path,
                      const std::string& script = plot_script());

}  // namespace qkmine
