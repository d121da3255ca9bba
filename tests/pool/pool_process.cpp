#include "pool_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace quorl::test {

PoolProcess::PoolProcess(std::vector<std::string> args) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) return;
  std::vector<std::string> argv_text = {QK_PYTHON, QK_POOL_SCRIPT};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The module from the source tree, over the library of this build.
  std::vector<std::string> env_text = {"PYTHONPATH=" QK_PYTHON_PATH, "QUORL_VERIFY_LIBRARY=" QK_VERIFY_LIBRARY,
                                       "PYTHONDONTWRITEBYTECODE=1", "PYTHONUNBUFFERED=1"};
#ifdef QK_CHILD_PRELOAD
  // Python itself is not instrumented: its own allocations are not ours to report.
  env_text.insert(env_text.end(), {"LD_PRELOAD=" QK_CHILD_PRELOAD, "ASAN_OPTIONS=detect_leaks=0"});
#endif
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (std::none_of(env_text.begin(), env_text.end(), [&](const std::string& t) { return t.rfind(name + "=", 0) == 0; })) {
      env_text.push_back(*e);
    }
  }
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  for (const int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  to_pool_ = in[1], from_pool_ = out[0];
  if (failed != 0) {
    pid_ = -1;
    return;
  }
  reader_ = std::thread([this] { read_events(); });
  if (const auto listening = wait_event("listening")) port_ = (*listening)["port"].get<int>();
}

PoolProcess::~PoolProcess() {
  if (to_pool_ >= 0) ::close(to_pool_);  // end of commands: the pool exits
  if (pid_ > 0) {
    bool exited = false;
    for (int i = 0; i < 100 && !exited; ++i) {
      exited = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!exited) ::usleep(50 * 1000);
    }
    if (!exited) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (reader_.joinable()) reader_.join();
  if (from_pool_ >= 0) ::close(from_pool_);
}

std::string PoolProcess::url(bool tls) const {
  return std::string(tls ? "stratum+ssl://" : "stratum+tcp://") + "127.0.0.1:" + std::to_string(port_);
}

void PoolProcess::read_events() {
  FILE* in = ::fdopen(::dup(from_pool_), "r");
  char* line = nullptr;
  size_t capacity = 0;
  while (in != nullptr && ::getline(&line, &capacity, in) > 0) {
    Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded()) continue;  // a Python warning, not an event
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    arrived_.notify_all();
  }
  std::free(line);
  if (in != nullptr) std::fclose(in);
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  arrived_.notify_all();
}

void PoolProcess::command(const Json& cmd) {
  const size_t from = mark();
  const std::string line = cmd.dump() + "\n";
  if (::write(to_pool_, line.data(), line.size()) != ssize_t(line.size())) return;
  const std::string name = cmd["cmd"];
  wait([&](const Json& e) { return e["event"] == "done" && e["cmd"] == name; }, from);
}

size_t PoolProcess::mark() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

std::vector<Json> PoolProcess::events(const std::string& name, size_t from) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Json> out;
  for (size_t i = from; i < events_.size(); ++i) {
    if (events_[i]["event"] == name) out.push_back(events_[i]);
  }
  return out;
}

std::optional<Json> PoolProcess::wait(const std::function<bool(const Json&)>& match, size_t from,
                                      std::chrono::milliseconds patience) const {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<Json> hit;
  arrived_.wait_for(lock, patience, [&] {
    for (size_t i = from; i < events_.size(); ++i) {
      if (match(events_[i])) {
        hit = events_[i];
        return true;
      }
    }
    return ended_;
  });
  return hit;
}

std::optional<Json> PoolProcess::wait_event(const std::string& name, size_t from) const {
  return wait([&](const Json& e) { return e["event"] == name; }, from);
}

bool PoolProcess::wait_count(const std::string& name, size_t count, size_t from) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, kPatience, [&] {
    size_t seen = 0;
    for (size_t i = from; i < events_.size(); ++i) seen += events_[i]["event"] == name;
    return seen >= count || ended_;
  }) && !ended_;
}

namespace {

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

}  // namespace

std::string make_tls_files(const std::string& dir, TlsFiles& f) {
  const std::string ssl = std::string("'") + QK_OPENSSL + "'";
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  auto ca = [&](const std::string& name) {
    return run(ssl + " req -x509" + ec + " -days 2 -subj /CN=" + name + " -keyout '" + dir + "/" + name +
               ".key' -out '" + dir + "/" + name + ".pem' -addext basicConstraints=critical,CA:TRUE" +
               " -addext keyUsage=critical,keyCertSign,cRLSign");
  };
  auto leaf = [&](const std::string& name, const std::string& alt) {
    const std::string ext = dir + "/" + name + ".ext";
    if (FILE* e = std::fopen(ext.c_str(), "w")) {
      std::fprintf(e, "subjectAltName=%s\nextendedKeyUsage=serverAuth\n", alt.c_str());
      std::fclose(e);
    }
    return run(ssl + " req" + ec + " -subj /CN=" + name + " -keyout '" + dir + "/" + name + ".key' -out '" + dir +
               "/" + name + ".csr'") |
           run(ssl + " x509 -req -days 2 -in '" + dir + "/" + name + ".csr' -CA '" + dir + "/test-ca.pem' -CAkey '" +
               dir + "/test-ca.key' -CAcreateserial -extfile '" + ext + "' -out '" + dir + "/" + name + ".pem'");
  };
  if (ca("test-ca") != 0) return "cannot make the CA";
  if (ca("other-ca") != 0) return "cannot make the other CA";
  if (leaf("pool", "IP:127.0.0.1,DNS:localhost") != 0) return "cannot make the pool's certificate";
  if (leaf("elsewhere", "DNS:pool.elsewhere.example") != 0) return "cannot make the wrong host's certificate";
  f.ca = dir + "/test-ca.pem";
  f.other_ca = dir + "/other-ca.pem";
  f.cert = dir + "/pool.pem", f.key = dir + "/pool.key";
  f.wrong_host_cert = dir + "/elsewhere.pem", f.wrong_host_key = dir + "/elsewhere.key";
  return "";
}

}  // namespace quorl::test
