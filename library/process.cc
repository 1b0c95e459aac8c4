#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>

extern char** environ;

namespace library {
namespace {

std::shared_mutex g_spawning;
std::atomic<int> g_kept_by_children{-1};
std::atomic<int> g_child_timeout{kDefaultChildTimeout};

// Drains both pipes together so a child that fills one while we wait on the
// other cannot stall. Returns false when the child wrote nothing for
// `silence_s` seconds: a child that hangs must not hold its drive, and the
// drives waiting on its cartridge, for ever.
bool Drain(int out_fd, int err_fd, std::string& out, std::string& err, int silence_s) {
  std::array<pollfd, 2> fds{pollfd{out_fd, POLLIN, 0}, pollfd{err_fd, POLLIN, 0}};
  std::array<std::string*, 2> sinks{&out, &err};
  int open_count = 2;
  char buffer[4096];
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(silence_s);
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    int ready = poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 60'000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) continue;
    deadline = Clock::now() + std::chrono::seconds(silence_s);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  return open_count == 0;
}

// A child killed in the middle of a SCSI command ends only once the command
// does: it is reaped whenever that is, not waited for.
void Abandon(pid_t pid) {
  kill(-pid, SIGKILL);
  std::thread([pid] {
    int ignored = 0;
    while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

int WaitStatus(pid_t pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// posix_spawn returns once the child has begun its exec; its file actions
// closed every descriptor above standard error before that, so nothing this
// process had open lives on in it once this lets go. Children start
// together; only a device's close waits for them.
int Spawn(pid_t* pid, char* const* args, const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr) {
  std::shared_lock<std::shared_mutex> starting(g_spawning);
  return posix_spawnp(pid, args[0], actions, attr, args, environ);
}

}  // namespace

void KeepInChildren(int fd) { g_kept_by_children.store(fd); }

void SetChildTimeout(int seconds) { g_child_timeout.store(seconds); }

int ChildTimeout() { return g_child_timeout.load(); }

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

void CloseDevice(int fd) {
  if (fd < 0) return;
  close(fd);
  // A child started before the close may still hold a copy until its exec;
  // one started after cannot have one.
  std::unique_lock<std::shared_mutex> started_children_execed(g_spawning);
}

ProcessResult RunProcess(const std::vector<std::string>& argv) {
  ProcessResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  // Close-on-exec copies of a drive would otherwise outlive the point where
  // posix_spawn returns, until late in the exec: long enough for the drive
  // to refuse the next open as busy, and for a virtual drive to take the
  // child for a holder of an open the parent just closed.
  int first_closed = 3;
  if (int kept = g_kept_by_children.load(); kept >= 0) {
    posix_spawn_file_actions_adddup2(&actions, kept, first_closed++);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, first_closed);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  // SIGPIPE stays ignored, as this command ignores it: a child whose
  // parent was killed finds its pipes without a reader, and a vaklabel that
  // died of its next trace line would leave half a label set on the tape.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = Spawn(&pid, args.data(), &actions, &attr);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = argv[0] + ": " + std::strerror(rc) + "\n";
    return result;
  }
  result.started = true;
  if (!Drain(out_pipe[0], err_pipe[0], result.out, result.err, ChildTimeout())) {
    // Its own process group: whatever it started goes with it.
    Abandon(pid);
    result.stalled = true;
    result.status = 128 + SIGKILL;
    return result;
  }
  result.status = WaitStatus(pid);
  return result;
}

std::string FailureReason(const ProcessResult& result) {
  if (result.stalled) {
    return "made no progress for " + std::to_string(ChildTimeout()) + " s (--child-timeout) and was killed";
  }
  size_t end = result.err.find_last_not_of(" \t\r\n");
  if (end != std::string::npos) {
    size_t start = result.err.find_last_of('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    return result.err.substr(start, end - start + 1);
  }
  if (!result.started) return "could not be started";
  if (result.status > 128) return "ended by signal " + std::to_string(result.status - 128);
  return "exited with status " + std::to_string(result.status) + " and said nothing";
}

std::string FindInPath(const std::string& name) {
  auto runnable = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string::npos) return runnable(name) ? name : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (runnable(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

std::string CommandText(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& arg : argv) {
    if (!text.empty()) text += ' ';
    bool plain = !arg.empty() && arg.find_first_of(" \t'\"\\$`*?;&|<>()") == std::string::npos;
    text += plain ? arg : "'" + arg + "'";
  }
  return text;
}

}  // namespace library
