// qkmine as a child process a test can signal; its stdout and stderr go to
// files the test reads.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quorl::test {

class QkmineProcess {
 public:
  explicit QkmineProcess(const std::vector<std::string>& args) {
    static int serial = 0;
    const std::string stem = ::testing::TempDir() + "qkmine_" + std::to_string(::getpid()) + "_" +
                             std::to_string(serial++);
    out_path_ = stem + ".out", err_path_ = stem + ".err";
    std::vector<std::string> argv_text{QKMINE};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
      std::vector<char*> argv;
      for (std::string& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~QkmineProcess() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  QkmineProcess(const QkmineProcess&) = delete;
  QkmineProcess& operator=(const QkmineProcess&) = delete;

  // Wait until stderr (stdout) holds `text`; false if it did not within
  // `seconds` (a guard against a hang, not a speed requirement).
  bool wait_for_stderr(const std::string& text, double seconds) { return wait_for(err_path_, text, seconds); }
  bool wait_for_stdout(const std::string& text, double seconds) { return wait_for(out_path_, text, seconds); }

  void signal(int sig) { ::kill(pid_, sig); }

  // The exit status; 128 + N when killed by signal N; -1 when it was still
  // running after `seconds` (it is then killed).
  int wait(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!exited()) {
      if (std::chrono::steady_clock::now() > until) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }

  std::string out() const { return slurp(out_path_); }
  std::string err() const { return slurp(err_path_); }

 private:
  bool wait_for(const std::string& path, const std::string& text, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (slurp(path).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until || exited()) return slurp(path).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  bool exited() {
    if (status_ >= 0) return true;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_, err_path_;
};

}  // namespace quorl::test
