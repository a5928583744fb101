// Runs the hotsync program in a scratch world (host state, handheld image,
// desktop folder and a sentinel folder outside both) and checks what a run
// may and may not leave behind. Single-threaded; one World per test.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tolvex::safety {

inline bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return std::getenv("TOLVEX_SANITIZED") != nullptr;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Path -> "L:<link text>" for links, "F:<content>" for files, "D" for folders.
// Links are recorded, never followed.
inline void snapshotInto(const std::string& dir, const std::string& rel,
                         std::map<std::string, std::string>& out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name, key = rel + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t n = readlink(path.c_str(), buf, sizeof buf);
      out[key] = "L:" + std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      out[key] = "D";
      snapshotInto(path, key + "/", out);
    } else {
      out[key] = "F:" + readFile(path);
    }
  }
  closedir(d);
}

inline std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  snapshotInto(dir, "", out);
  return out;
}

struct RunResult {
  bool signaled = false;
  int signal = 0;
  int exitCode = -1;
  bool timedOut = false;
  std::string out;  // stdout and stderr together
};

class World {
 public:
  World() {
    char tmpl[] = "/tmp/tolvex-safety-XXXXXX";
    root_ = mkdtemp(tmpl);
    home = root_ + "/home";
    device = root_ + "/device";
    desktop = root_ + "/desktop";
    sentinel = root_ + "/sentinel";
    for (const auto& d : {home, desktop, sentinel}) mkdir(d.c_str(), 0755);
  }
  ~World() {
    if (!std::getenv("TOLVEX_KEEP_SCRATCH"))
      std::system(("rm -rf '" + root_ + "'").c_str());
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  const std::string& root() const { return root_; }

  // Runs hotsync with the arguments; address space capped at 1 GB unless
  // built with a sanitizer (its shadow memory needs far more).
  RunResult hotsync(const std::vector<std::string>& args, int timeoutSeconds = 120,
                    const std::map<std::string, std::string>& env = {},
                    const std::function<bool(pid_t)>& killWhen = nullptr) const {
    RunResult r;
    pid_t pid = start(args, env);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) break;
      if (killWhen && killWhen(pid)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        r.timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(killWhen ? 1 : 5));
    }
    RunResult done = finished(status);
    done.timedOut = r.timedOut;
    return done;
  }

  // Starts hotsync without waiting; its output goes to run.out in the root.
  pid_t start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) const {
    const std::string outPath = root_ + "/run.out";
    std::fflush(nullptr);  // or the child writes this process's pending output again
    pid_t pid = fork();
    if (pid == 0) {
      setenv("HOTSYNC_HOME", home.c_str(), 1);
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      if (!sanitized()) {
        rlimit lim{1073741824UL, 1073741824UL};
        setrlimit(RLIMIT_AS, &lim);
      }
      FILE* f = std::freopen(outPath.c_str(), "w", stdout);
      (void)f;
      dup2(fileno(stdout), 2);
      int nul = open("/dev/null", 0);
      dup2(nul, 0);
      std::vector<std::string> all{TOLVEX_BINARY_DIR "/bin/hotsync"};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }
  // The result of a run started with `start`, from its wait status.
  RunResult finished(int status) const {
    RunResult r;
    r.signaled = WIFSIGNALED(status);
    r.signal = r.signaled ? WTERMSIG(status) : 0;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(root_ + "/run.out");
    return r;
  }

  RunResult initDevice(const std::string& user = "Ann") const {
    return hotsync({"device", "init", device, "--user", user});
  }
  RunResult sync(const std::vector<std::string>& extra = {}, int timeoutSeconds = 120) const {
    std::vector<std::string> args{"sync", "--device", device, "--desktop", desktop};
    args.insert(args.end(), extra.begin(), extra.end());
    return hotsync(args, timeoutSeconds);
  }

  std::string lastLog() const { return readFile(desktop + "/lastsync.txt"); }

  std::string home, device, desktop, sentinel;

 private:
  std::string root_;
};

}  // namespace tolvex::safety
