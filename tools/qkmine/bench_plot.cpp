#include "bench_plot.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace qkmine {
namespace {

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string program_dir() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  const std::string exe(path, size_t(n));
  return exe.substr(0, exe.rfind('/'));
}

bool readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// A temporary file holding the lines, removed with the object.
class LinesFile {
 public:
  explicit LinesFile(const std::vector<std::string>& lines) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/qkmine_bench_XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return;
    ::close(fd);
    path_ = pattern;
    std::ofstream out(path_);
    for (const std::string& line : lines) out << line << "\n";
    if (!out) path_.clear();
  }
  ~LinesFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// matplotlib comes from Debian (python3-matplotlib), for the system's
// interpreter; a python3 earlier on PATH (a virtual environment, pyenv)
// may lack it. QKMINE_PYTHON names another.
std::string python() {
  const char* chosen = std::getenv("QKMINE_PYTHON");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

}  // namespace

bool plot_format_known(const std::string& path) {
  std::string lower = path;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ends_with(lower, ".png") || ends_with(lower, ".svg");
}

std::string plot_script() {
  const std::string dir = program_dir();
  for (const std::string& candidate : {dir + "/plot_bench.py", dir + "/../share/qkmine/plot_bench.py"}) {
    if (readable(candidate)) return candidate;
  }
  return QKMINE_PLOT_SCRIPT_SOURCE;
}

std::string draw_plot(const std::vector<std::string>& json_lines, const std::string& path,
                      const std::string& script) {
  if (!plot_format_known(path)) return path + ": the plot is .png or .svg";
  if (!readable(script)) return "the plot script " + script + " is missing";
  const LinesFile input(json_lines);
  if (input.path().empty()) return "cannot write a temporary file for the plot's data";
  const std::string interpreter = python();
  const char* argv[] = {interpreter.c_str(), script.c_str(), "--input", input.path().c_str(), "--output",
                        path.c_str(),        nullptr};
  pid_t pid = 0;
  const int spawned =
      ::posix_spawnp(&pid, interpreter.c_str(), nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (spawned != 0) return "cannot run " + interpreter + ": " + std::strerror(spawned);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::string("waiting for python3: ") + std::strerror(errno);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return interpreter + " " + script + " failed (" +
         (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                            : "signal " + std::to_string(WTERMSIG(status))) +
         "; it needs matplotlib: scripts/setup.sh installs python3-matplotlib)";
}

}  // namespace qkmine
