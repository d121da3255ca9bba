// Runs the qkmine binary as a user would and collects its output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace quorl::test {

struct QkmineResult {
  int exit_code;
  std::string out;
};

// `args` go through the shell; `merge_stderr` appends stderr to the output.
inline QkmineResult qkmine(const std::string& args, bool merge_stderr = true) {
  const std::string command =
      std::string("'") + QKMINE + "' " + args + (merge_stderr ? " 2>&1" : " 2>/dev/null");
  QkmineResult r{-1, ""};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) r.out += buffer;
  const int status = ::pclose(pipe);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The value of a string field "name":"value" in one line of JSON.
inline std::string json_field(const std::string& json, const std::string& name) {
  const std::string tag = "\"" + name + "\":\"";
  const size_t at = json.find(tag);
  if (at == std::string::npos) return "";
  const size_t start = at + tag.size();
  return json.substr(start, json.find('"', start) - start);
}

}  // namespace quorl::test
