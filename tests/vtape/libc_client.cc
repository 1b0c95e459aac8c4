// libc_client: reaches the drive through the C library's other ways in, the
// ones mt and dd do not use: C++ file streams, stdio streams, the stat family
// and the number a new descriptor gets.
//
//   libc_client fstream-write PATH TEXT   std::ofstream: write TEXT, close
//   libc_client fstream-read PATH          std::ifstream: print what it reads
//   libc_client fdopen-write PATH TEXT     open(2), fdopen, fputs, fclose
//   libc_client fopen-read PATH            fopen, print what fread gets
//   libc_client fopen-exit PATH TEXT       fopen, fputs, exit without fclose
//   libc_client stat PATH                  each stat call: "CALL TYPE MAJOR:MINOR"
//   libc_client lowest PATH                open PATH, then /dev/null: how far
//                                          above the lowest free number each is
//   libc_client offsets PATH               each call that needs an offset or a
//                                          second file: "CALL RESULT ERRNO"
//   libc_client reuse PATH HOW             writes "tape-data" to PATH, closes it
//                                          by HOW (close_range, closefrom,
//                                          syscall, inline), writes "log" to a
//                                          new file log.txt, then "more" to PATH
//   libc_client spawn-dup PATH             writes "parent" to PATH, then a child
//                                          posix_spawn gave it as standard
//                                          output "child", then "again"
//   libc_client spawn-leave PATH           writes "parent" to PATH, gives it to
//                                          a child as spawn-dup, closes it at
//                                          once; the child writes "child"
//   libc_client spare PATH HOW             writes "tape-data" to PATH, closes
//                                          every other descriptor from 3 up by
//                                          HOW (loop, close_range, or dup2 of
//                                          /dev/null onto each first), writes
//                                          "log" to a new file log.txt, then
//                                          "more" to PATH
//   libc_client fork-exec PATH             writes "parent" to PATH, opened
//                                          close-on-exec, forks, closes it, then
//                                          the child execs true
//   libc_client raw PATH HOW               opens PATH to write by a way the C
//                                          library's open does not see (openat2,
//                                          syscall, spawn-open), or relative to
//                                          descriptor 7 (dirfd), and writes "raw"

#include <fcntl.h>
#include <linux/openat2.h>
#include <spawn.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

// The forms programs built against glibc before 2.33 call.
extern "C" int __xstat(int version, const char* path, struct stat* out);
extern "C" int __fxstat(int version, int fd, struct stat* out);

namespace {

constexpr int kStatVersion = 1;

int FstreamWrite(const char* path, const char* text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  return out.fail() ? 1 : 0;
}

int FstreamRead(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::cout << std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? 1 : 0;
}

int FdopenWrite(const char* path, const char* text) {
  int fd = open(path, O_WRONLY);
  FILE* stream = fd < 0 ? nullptr : fdopen(fd, "w");
  if (stream == nullptr) {
    perror(path);
    return 1;
  }
  bool ok = fputs(text, stream) >= 0;
  return fclose(stream) == 0 && ok ? 0 : 1;
}

int FopenRead(const char* path) {
  FILE* stream = fopen(path, "r");
  if (stream == nullptr) {
    perror(path);
    return 1;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stream)) > 0) fwrite(buf, 1, n, stdout);
  bool failed = ferror(stream) != 0;
  fclose(stream);
  return failed ? 1 : 0;
}

// exit() flushes the stream only after the libraries' destructors have run.
int FopenExit(const char* path, const char* text) {
  FILE* stream = fopen(path, "w");
  if (stream == nullptr || fputs(text, stream) < 0) {
    perror(path);
    return 1;
  }
  exit(0);
}

void Report(const char* call, int result, mode_t mode, dev_t rdev) {
  if (result != 0) {
    printf("%s -1 %s\n", call, strerrorname_np(errno));
    return;
  }
  const char* type = S_ISCHR(mode) ? "chr" : S_ISREG(mode) ? "reg" : "other";
  printf("%s %s %u:%u\n", call, type, major(rdev), minor(rdev));
}

// Runs one stat call that fills `st` and reports what it said.
template <typename Call>
void Stat(const char* name, Call call) {
  struct stat st {};
  int result = call(&st);
  Report(name, result, st.st_mode, st.st_rdev);
}

int StatAll(const char* path) {
  Stat("stat", [&](struct stat* st) { return stat(path, st); });
  Stat("lstat", [&](struct stat* st) { return lstat(path, st); });
  Stat("fstatat", [&](struct stat* st) { return fstatat(AT_FDCWD, path, st, 0); });
  Stat("__xstat", [&](struct stat* st) { return __xstat(kStatVersion, path, st); });
  struct statx sx {};
  int result = statx(AT_FDCWD, path, 0, STATX_BASIC_STATS, &sx);
  Report("statx", result, sx.stx_mode, makedev(sx.stx_rdev_major, sx.stx_rdev_minor));
  int fd = open(path, O_RDONLY);
  Stat("fstat", [&](struct stat* st) { return fstat(fd, st); });
  Stat("__fxstat", [&](struct stat* st) { return __fxstat(kStatVersion, fd, st); });
  Stat("fstatat-empty", [&](struct stat* st) { return fstatat(fd, "", st, AT_EMPTY_PATH); });
  close(fd);
  return 0;
}

void Said(const char* call, long result) { printf("%s %ld %s\n", call, result, result < 0 ? strerrorname_np(errno) : "-"); }

int Offsets(const char* path) {
  int fd = open(path, O_RDWR);
  char buf[80] = {};
  iovec v = {buf, sizeof buf};
  off64_t at = 0;
  Said("pread", pread(fd, buf, sizeof buf, 0));
  Said("pwrite", pwrite(fd, buf, sizeof buf, 0));
  Said("preadv", preadv(fd, &v, 1, 0));
  Said("pwritev2", pwritev2(fd, &v, 1, 0, 0));
  Said("pwritev2-nowait", pwritev2(fd, &v, 1, -1, RWF_NOWAIT));
  Said("sendfile-from", sendfile(STDOUT_FILENO, fd, nullptr, sizeof buf));
  Said("sendfile-from-at", sendfile(STDOUT_FILENO, fd, &at, sizeof buf));
  Said("sendfile-to", sendfile(fd, STDIN_FILENO, nullptr, sizeof buf));
  Said("splice-to-at", splice(STDIN_FILENO, nullptr, fd, &at, sizeof buf, 0));
  Said("copy_file_range", copy_file_range(STDIN_FILENO, nullptr, fd, nullptr, sizeof buf, 0));
  Said("open-directory", open(path, O_RDONLY | O_DIRECTORY));
  Said("pwritev2-here", pwritev2(fd, &v, 1, -1, 0));
  return 0;
}

int Lowest(const char* path) {
  int lowest = dup(0);
  close(lowest);
  int tape = open(path, O_RDONLY);
  int next = open("/dev/null", O_RDONLY);
  printf("%d %d\n", tape - lowest, next - lowest);
  return 0;
}

// A close the C library never sees.
long InlineClose(long fd) {
#if defined(__x86_64__)
  long result;
  asm volatile("syscall" : "=a"(result) : "0"(SYS_close), "D"(fd) : "rcx", "r11", "memory");
  return result;
#else
  return syscall(SYS_close, fd);
#endif
}

bool CloseBy(const std::string& how, int fd) {
  if (how == "close_range") return close_range(fd, fd, 0) == 0;
  if (how == "closefrom") return closefrom(fd), true;
  if (how == "close_range_all") return close_range(3, ~0U, 0) == 0;
  if (how == "syscall") return syscall(SYS_close, fd) == 0;
  return how == "inline" && InlineClose(fd) == 0;
}

bool WriteText(int fd, const char* text) {
  return fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
}

int Reuse(const char* path, const std::string& how) {
  int tape = open(path, O_WRONLY);
  bool ok = WriteText(tape, "tape-data") && CloseBy(how, tape);
  int log = open("log.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ok = ok && WriteText(log, "log\n") && close(log) == 0;
  tape = open(path, O_WRONLY);
  ok = ok && WriteText(tape, "more") && close(tape) == 0;
  return ok ? 0 : 1;
}

// Closes every descriptor from 3 up but `spared`, as daemons and shells
// do before they start a program.
bool CloseAllBut(int spared, const std::string& how) {
  if (how == "close_range") {
    return (spared == 3 || close_range(3, spared - 1, 0) == 0) && close_range(spared + 1, ~0U, 0) == 0;
  }
  long limit = sysconf(_SC_OPEN_MAX);
  int null = how == "dup2" ? open("/dev/null", O_WRONLY) : -1;
  for (int fd = 3; fd < limit; ++fd) {
    // With every number taken the drive's own may be short of one.
    if (fd != spared && null >= 0 && fd != null && dup2(null, fd) != fd && errno != EMFILE) return false;
  }
  for (int fd = 3; fd < limit; ++fd) {
    if (fd != spared) close(fd);
  }
  return how == "loop" || null >= 0;
}

int Spare(const char* path, const std::string& how) {
  int tape = open(path, O_WRONLY);
  bool ok = WriteText(tape, "tape-data") && CloseAllBut(tape, how);
  int log = open("log.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ok = ok && WriteText(log, "log\n") && close(log) == 0;
  return ok && WriteText(tape, "more") && close(tape) == 0 ? 0 : 1;
}

// Runs `echo TEXT` with `files`, whose actions the C library carries out
// with its internal calls: 0 once it has finished, else -1 and errno.
int SpawnEcho(posix_spawn_file_actions_t* files, const char* text) {
  char echo[] = "echo";
  char* argv[] = {echo, const_cast<char*>(text), nullptr};
  pid_t pid;
  int error = posix_spawnp(&pid, "echo", files, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(files);
  if (error != 0) {
    errno = error;
    return -1;
  }
  int status;
  waitpid(pid, &status, 0);
  return 0;
}

int SpawnOpen(const char* path) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  return SpawnEcho(&files, "raw");
}

// A child given the drive, opened close-on-exec, as its standard output.
int SpawnDup(const char* path) {
  int tape = open(path, O_WRONLY | O_CLOEXEC);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, tape, 1);
  bool ok = WriteText(tape, "parent") && SpawnEcho(&files, "child") == 0;
  return ok && WriteText(tape, "again") && close(tape) == 0 ? 0 : 1;
}

// The parent lets go of the drive while its child, which holds the only
// copy left, may still be starting.
int SpawnLeave(const char* path) {
  int tape = open(path, O_WRONLY | O_CLOEXEC);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, tape, 1);
  char echo[] = "echo", child[] = "child";
  char* argv[] = {echo, child, nullptr};
  pid_t pid;
  bool ok = WriteText(tape, "parent") && posix_spawnp(&pid, "echo", &files, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&files);
  int status = 0;
  ok = ok && close(tape) == 0 && waitpid(pid, &status, 0) == pid;
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

// The child holds the only copy left when it execs: st releases the open,
// its tape mark written, as the exec drops that copy.
int ForkExec(const char* path) {
  int tape = open(path, O_WRONLY | O_CLOEXEC);
  int closed[2];
  if (tape < 0 || !WriteText(tape, "parent") || pipe(closed) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    char go;
    close(closed[1]);
    if (read(closed[0], &go, 1) != 1) _exit(1);
    execlp("true", "true", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  bool ok = pid > 0 && close(tape) == 0 && write(closed[1], "!", 1) == 1 && waitpid(pid, &status, 0) == pid;
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int Raw(const char* path, const std::string& how) {
  long fd = -1;
  if (how == "openat2") {
    open_how o{};
    o.flags = O_WRONLY | O_CREAT;
    o.mode = 0644;
    fd = syscall(SYS_openat2, AT_FDCWD, path, &o, sizeof o);
  } else if (how == "syscall") {
    fd = syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT, 0644);
  } else if (how == "dirfd") {
    fd = openat(7, path, O_WRONLY | O_CREAT, 0644);
  } else {
    fd = SpawnOpen(path);
    Said(how.c_str(), fd);
    return 0;
  }
  Said(how.c_str(), fd < 0 ? fd : WriteText(static_cast<int>(fd), "raw") ? 0 : -1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 2 ? argv[1] : "";
  if (what == "fstream-write" && argc == 4) return FstreamWrite(argv[2], argv[3]);
  if (what == "fstream-read") return FstreamRead(argv[2]);
  if (what == "fdopen-write" && argc == 4) return FdopenWrite(argv[2], argv[3]);
  if (what == "fopen-read") return FopenRead(argv[2]);
  if (what == "fopen-exit" && argc == 4) return FopenExit(argv[2], argv[3]);
  if (what == "stat") return StatAll(argv[2]);
  if (what == "lowest") return Lowest(argv[2]);
  if (what == "offsets") return Offsets(argv[2]);
  if (what == "reuse" && argc == 4) return Reuse(argv[2], argv[3]);
  if (what == "raw" && argc == 4) return Raw(argv[2], argv[3]);
  if (what == "spawn-dup") return SpawnDup(argv[2]);
  if (what == "spawn-leave") return SpawnLeave(argv[2]);
  if (what == "spare" && argc == 4) return Spare(argv[2], argv[3]);
  if (what == "fork-exec") return ForkExec(argv[2]);
  fprintf(
      stderr,
      "usage: libc_client fstream-write|fstream-read|fdopen-write|fopen-read|fopen-exit|stat|lowest|offsets|reuse|raw|"
      "spawn-dup|spawn-leave|spare|fork-exec PATH [TEXT|HOW]\n");
  return 2;
}
