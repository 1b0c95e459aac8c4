#include "own_processes.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"

namespace vtape::cli {

namespace {

// The signals a caller sends to end or wake a program; vtape passes them
// on. Those of the terminal reach every process of its group, the command
// too, and are not passed on again.
constexpr int kPassedOn[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGWINCH};

pid_t g_receiver = -1;

// What process 1 of the run is sent when vtape outside dies (killed, as a
// caller kills the command it started): the command is killed as it would
// have been had vtape been it, and what it started runs on, as before.
int VtapeGone() { return SIGRTMIN; }

void PassOn(int signal, siginfo_t* info, void*) {
  if (g_receiver <= 0) return;
  // si_code above 0 is the kernel's (a terminal's) signal, which reached
  // the receiver itself.
  if (signal == VtapeGone()) {
    kill(g_receiver, SIGKILL);
  } else if (info->si_code <= 0) {
    kill(g_receiver, signal);
  }
}

// `in_run`: in process 1 of the run, which also takes VtapeGone().
void PassSignalsTo(pid_t receiver, bool in_run) {
  g_receiver = receiver;
  struct sigaction action {};
  action.sa_sigaction = PassOn;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : kPassedOn) sigaction(s, &action, nullptr);
  if (in_run) sigaction(VtapeGone(), &action, nullptr);
}

// Holds VtapeGone() back (`how` SIG_BLOCK) until the command is known, or
// lets it through (SIG_UNBLOCK).
void HoldVtapeGone(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, VtapeGone());
  sigprocmask(how, &set, nullptr);
}

bool WriteInt(int fd, int value) { return write(fd, &value, sizeof value) == sizeof value; }

// Process 1 of the run: the command's parent, and the parent of every
// process orphaned in the run, which it reaps until none is left; then it
// reports the command's wait status on `report`.
[[noreturn]] void Init(char** command, int report) {
  pid_t child = fork();
  if (child < 0) {
    WriteInt(report, kExitCannotRun << 8);
    _exit(0);
  }
  if (child == 0) {
    close(report);
    HoldVtapeGone(SIG_UNBLOCK);
    _exit(Exec(command));
  }
  PassSignalsTo(child, true);
  HoldVtapeGone(SIG_UNBLOCK);
  int status = 0;
  for (;;) {
    int st;
    pid_t ended = waitpid(-1, &st, 0);
    if (ended < 0 && errno == EINTR) continue;
    if (ended < 0) break;
    if (ended == child) status = st;
  }
  WriteInt(report, status);
  _exit(0);
}

// Ends this process as the command ended.
[[noreturn]] void EndAs(int status) {
  if (WIFSIGNALED(status)) {
    int s = WTERMSIG(status);
    signal(s, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, s);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(s);
    _exit(128 + s);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailure);
}

bool ReadInt(int fd, int* value) {
  ssize_t n;
  do {
    n = read(fd, value, sizeof *value);
  } while (n < 0 && errno == EINTR);
  return n == sizeof *value;
}

}  // namespace

int Exec(char** command) {
  execvp(command[0], command);
  int error = errno;
  fprintf(stderr, "vtape: %s: %s\n", command[0], strerror(error));
  return error == ENOENT ? kExitNotFound : kExitCannotRun;
}

void RunInOwnProcesses(char** command, std::string* why) {
  int ready[2], report[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) FatalErrno("pipe");
  // A clone, not unshare: where the namespace or its /proc is refused,
  // the children of the command run from here stay where they were.
  long init = syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
  if (init == 0) {
    close(ready[0]);
    close(report[0]);
    // A parent gone before this shows in the write to it, the other end
    // of the pipe closed: the command never starts.
    HoldVtapeGone(SIG_BLOCK);
    PassSignalsTo(-1, true);
    prctl(PR_SET_PDEATHSIG, VtapeGone());
    int error = mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0 ? 0 : errno;
    if (!WriteInt(ready[1], error) || error != 0) _exit(0);
    close(ready[1]);
    Init(command, report[1]);
  }
  int error = errno;
  close(ready[1]);
  close(report[1]);
  if (init > 0 && !ReadInt(ready[0], &error)) error = EAGAIN;
  close(ready[0]);
  if (init < 0 || error != 0) {
    if (init > 0) waitpid(static_cast<pid_t>(init), nullptr, 0);
    close(report[0]);
    *why = strerror(error);
    return;
  }
  PassSignalsTo(static_cast<pid_t>(init), false);
  int status;
  bool reported = ReadInt(report[0], &status);
  int init_status = 0;
  while (waitpid(static_cast<pid_t>(init), &init_status, 0) < 0 && errno == EINTR) {
  }
  EndAs(reported ? status : init_status);
}

}  // namespace vtape::cli
