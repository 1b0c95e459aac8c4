// The exec family: the kernel drops a program's close-on-exec descriptors in
// the exec, and with the last of an open's copies st releases it, tape mark
// and all. The new program cannot know of them, so they are left before.
// execl and its kin gather their arguments and go to their vector forms.

#include <alloca.h>
#include <dlfcn.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdarg>

#include "preload/core/drives.h"
#include "preload/core/lock.h"
#include "preload/descriptors/descriptors.h"
#include "preload/entry/entry_points.h"

namespace vtape::preload {
namespace {

template <typename F>
F RealExec(const char* name) {
  static_assert(sizeof(F) == sizeof(void*));
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using Execv = int (*)(const char*, char* const[]);
using Execve = int (*)(const char*, char* const[], char* const[]);

void BeforeExec() {
  if (Ready()) LeaveBeforeExec();
}

// How many arguments follow up to the null pointer, counting `first`.
size_t ArgumentCount(va_list ap) {
  va_list count;
  va_copy(count, ap);
  size_t n = 1;
  while (va_arg(count, char*) != nullptr) ++n;
  va_end(count);
  return n;
}

// Fills `argv` (room for `n` + 1) with `first` and what follows it, the null
// pointer included, and `*envp`, where given, with the pointer after that.
void GatherArguments(const char* first, va_list ap, size_t n, char** argv, char*** envp) {
  argv[0] = const_cast<char*>(first);
  for (size_t i = 1; i <= n; ++i) argv[i] = va_arg(ap, char*);
  if (envp != nullptr) *envp = va_arg(ap, char**);
}

// Calls `exec` with the argument vector of an execl-style call, and its
// environment where `with_environment`; the vector lives until it returns.
template <typename Exec>
int WithArguments(const char* first, va_list ap, bool with_environment, Exec exec) {
  size_t n = ArgumentCount(ap);
  auto argv = static_cast<char**>(alloca((n + 1) * sizeof(char*)));
  char** envp = nullptr;
  GatherArguments(first, ap, n, argv, with_environment ? &envp : nullptr);
  return exec(argv, envp);
}

using Spawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const[],
                      char* const[]);

// File actions that give a child a descriptor of a drive: the C library
// carries them out with internal calls in the child, so the library notes
// them as they are made, to let the child inherit the open behind them.
constexpr int kMaxSpawnGifts = 16;
struct SpawnGift {
  const posix_spawn_file_actions_t* actions;
  int drive;
};
SpawnGift g_gifts[kMaxSpawnGifts];

void NoteGift(const posix_spawn_file_actions_t* actions, int fd) {
  if (!IsTape(fd)) return;
  Locked lock;
  for (SpawnGift& gift : g_gifts) {
    if (gift.actions == nullptr || (gift.actions == actions && gift.drive == DriveOf(fd))) {
      gift = SpawnGift{actions, DriveOf(fd)};
      return;
    }
  }
}

void ForgetGifts(const posix_spawn_file_actions_t* actions) {
  Locked lock;
  for (SpawnGift& gift : g_gifts) {
    if (gift.actions == actions) gift = SpawnGift{};
  }
}

// The drives `actions` give the child, in `drives` (room for
// kMaxSpawnGifts); how many.
int GiftsOf(const posix_spawn_file_actions_t* actions, int* drives) {
  Locked lock;
  int count = 0;
  for (const SpawnGift& gift : g_gifts) {
    if (actions != nullptr && gift.actions == actions) drives[count++] = gift.drive;
  }
  return count;
}

int SpawnGiving(const char* name, pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  int drives[kMaxSpawnGifts];
  int count = Ready() ? GiftsOf(actions, drives) : 0;
  for (int i = 0; i < count; ++i) OfferToSpawn(drives[i]);
  int r = RealExec<Spawn>(name)(pid, path, actions, attr, argv, envp);
  for (int i = 0; i < count; ++i) SpawnMade(drives[i]);
  return r;
}

}  // namespace
}  // namespace vtape::preload

using namespace vtape::preload;

VTAPE_EXPORT int posix_spawn_file_actions_adddup2(posix_spawn_file_actions_t* actions, int fd, int newfd) {
  using AddDup2 = int (*)(posix_spawn_file_actions_t*, int, int);
  int r = RealExec<AddDup2>("posix_spawn_file_actions_adddup2")(actions, fd, newfd);
  if (r == 0 && Ready()) NoteGift(actions, fd);
  return r;
}

VTAPE_EXPORT int posix_spawn_file_actions_init(posix_spawn_file_actions_t* actions) {
  if (Ready()) ForgetGifts(actions);
  return RealExec<int (*)(posix_spawn_file_actions_t*)>("posix_spawn_file_actions_init")(actions);
}

VTAPE_EXPORT int posix_spawn_file_actions_destroy(posix_spawn_file_actions_t* actions) {
  if (Ready()) ForgetGifts(actions);
  return RealExec<int (*)(posix_spawn_file_actions_t*)>("posix_spawn_file_actions_destroy")(actions);
}

VTAPE_EXPORT int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                             const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  return SpawnGiving("posix_spawn", pid, path, actions, attr, argv, envp);
}

VTAPE_EXPORT int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                              const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  return SpawnGiving("posix_spawnp", pid, file, actions, attr, argv, envp);
}

VTAPE_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) {
  BeforeExec();
  return RealExec<Execve>("execve")(path, argv, envp);
}

VTAPE_EXPORT int execv(const char* path, char* const argv[]) {
  BeforeExec();
  return RealExec<Execv>("execv")(path, argv);
}

VTAPE_EXPORT int execvp(const char* file, char* const argv[]) {
  BeforeExec();
  return RealExec<Execv>("execvp")(file, argv);
}

VTAPE_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) {
  BeforeExec();
  return RealExec<Execve>("execvpe")(file, argv, envp);
}

VTAPE_EXPORT int execl(const char* path, const char* arg, ...) {
  va_list ap;
  va_start(ap, arg);
  int r = WithArguments(arg, ap, false, [path](char** argv, char**) { return execv(path, argv); });
  va_end(ap);
  return r;
}

VTAPE_EXPORT int execlp(const char* file, const char* arg, ...) {
  va_list ap;
  va_start(ap, arg);
  int r = WithArguments(arg, ap, false, [file](char** argv, char**) { return execvp(file, argv); });
  va_end(ap);
  return r;
}

VTAPE_EXPORT int execle(const char* path, const char* arg, ...) {
  va_list ap;
  va_start(ap, arg);
  int r = WithArguments(arg, ap, true, [path](char** argv, char** envp) { return execve(path, argv, envp); });
  va_end(ap);
  return r;
}
