#include "preload/descriptors/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/kcmp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "preload/core/drives.h"
#include "preload/core/internal_descriptors.h"
#include "preload/core/lock.h"
#include "preload/core/real_libc.h"
#include "preload/image/position.h"
#include "preload/st/tape.h"

namespace vtape::preload {

namespace {

// The table costs 4 KiB.
constexpr int kMaxFds = kDescriptorTableSize;

// The memory files' names, which /proc/PID/fd shows as "/memfd:NAME": the
// descriptor the program holds, and the open's state behind it.
constexpr char kMemoryFileName[] = "vtape drive";
constexpr char kMemoryFileLink[] = "/memfd:vtape drive";
constexpr char kStateFileName[] = "vtape open";
constexpr char kStateFileLink[] = "/memfd:vtape open";
constexpr unsigned kMagic = 0x76746170;
// Processes known to hold descriptors of one open; children not yet in the
// list are found through their parents.
constexpr int kMaxHolders = 64;
constexpr int kMaxCandidates = 256;
// Descriptors of opens, and their states, one program can inherit.
constexpr int kMaxInherited = 64;

// One open of the drive, in a memory file of its own, seen by every
// process that holds one of its descriptors. The descriptors are other,
// empty and sealed, memory files, so that a program that bypasses the
// library (a static one, io_uring) reads nothing from them and writes
// nothing to them; this one stays at a number the program was never given.
// Nothing in it may be an address: each process maps it elsewhere.
struct SharedOpen {
  unsigned magic;
  int drive;
  bool released;
  dev_t descriptor_dev;  // the program's descriptors of this open
  ino_t descriptor_ino;
  pthread_mutex_t lock;  // robust: a process killed holding it does not stop the others
  // The image's descriptor, at the number of the holder that last took the
  // lock; each holder puts its own in before it works the drive. Its lock
  // on the image lives as long as the open.
  int image_fd;
  dev_t image_dev;
  ino_t image_ino;
  int image_access;
  bool rewinding;  // opened through the st name, which rewinds at release
  char image[PATH_MAX];
  pid_t holders[kMaxHolders];
  // Processes that let go of the open: the kernel may show their
  // descriptors a moment longer while they exit, but they are gone.
  pid_t left[kMaxHolders];
  int next_left;
  // st's state of the open and its position record.
  DriveState tape;
  KeeperState record;
};

// This process's view of the open of one drive.
struct Local {
  SharedOpen* shared;  // null: this process holds no descriptor of the drive
  dev_t dev;           // the descriptors' memory file
  ino_t ino;
  int refs;           // descriptors of it in this process
  bool locked;        // the shared lock is held for the current Locked
  int state_fd = -1;  // the state's memory file; -1 when it is shared with forked children only
  int image_fd = -1;  // this process's descriptor of the image
};

// 1 + the drive each descriptor refers to; 0 for any other descriptor.
unsigned char g_drive_of[kMaxFds];
Local g_local[kMaxDrives];
// This process's descriptor of each drive's position record: kept when a
// changer takes the tape out of an open, until the drive's next open.
struct RecordFile {
  int fd = -1;
};
RecordFile g_record_files[kMaxDrives];
// The process these are the descriptors of.
pid_t g_pid;

}  // namespace

bool IsTape(int fd) { return fd >= 0 && fd < kMaxFds && g_drive_of[fd] != 0; }

// A child made by a raw clone without CLONE_VM (dump's writers) is not
// known to the library as a fork is, and has memory of its own.
bool SharingParentsMemory() {
  pid_t me = getpid();
  return me != g_pid && libc.syscall(SYS_kcmp, me, g_pid, KCMP_VM, 0, 0) == 0;
}

bool IsOpenTape(int fd) {
  if (!IsTape(fd)) return false;
  const Local& l = g_local[DriveOf(fd)];
  struct stat st;
  if (libc.fstat(fd, &st) == 0 && st.st_dev == l.dev && st.st_ino == l.ino) return true;
  Fresh(fd);
  return false;
}

int Fresh(int fd) {
  if (!IsTape(fd)) return fd;
  Locked lock;
  if (IsTape(fd)) Untrack(fd);
  return fd;
}

int DriveOf(int fd) { return g_drive_of[fd] - 1; }

namespace {

void LockOpen(SharedOpen* s) {
  if (pthread_mutex_lock(&s->lock) == EOWNERDEAD) pthread_mutex_consistent(&s->lock);
}

// The memory file `fd` reopened with the access mode asked for, so that
// F_GETFL shows it; its offset at the end, so a program that reads it
// without the library finds it empty.
int Reopen(int fd, int accmode) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  int reopened = libc.open(path, accmode | O_CLOEXEC);
  if (reopened < 0) return fd;  // without /proc the descriptor stays O_RDWR
  libc.close(fd);
  libc.lseek(reopened, 0, SEEK_END);
  return reopened;
}

// Moves `fd` to the lowest free number, as the kernel would have given it,
// with the close-on-exec flag the program asked for.
int Lowest(int fd, bool cloexec) {
  int low = libc.fcntl(fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
  if (low >= 0 && low < fd) {
    libc.close(fd);
    return low;
  }
  if (low >= 0) libc.close(low);
  libc.fcntl(fd, F_SETFD, cloexec ? FD_CLOEXEC : 0);
  return fd;
}

int Placed(int fd, int flags) {
  fd = Reopen(fd, flags & O_ACCMODE);
  fd = Lowest(fd, (flags & O_CLOEXEC) != 0);
  if (fd >= kMaxFds) {
    libc.close(fd);
    return -EMFILE;
  }
  return fd;
}

// The state's memory file mapped to read and write. Its descriptors are
// read-only (see NewState): the library maps it through a writable reopen.
SharedOpen* Map(int fd) {
  void* map = mmap(nullptr, sizeof(SharedOpen), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED && errno == EACCES) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int writable = libc.open(path, O_RDWR | O_CLOEXEC);
    if (writable < 0) return nullptr;
    map = mmap(nullptr, sizeof(SharedOpen), PROT_READ | PROT_WRITE, MAP_SHARED, writable, 0);
    libc.close(writable);
  }
  return map == MAP_FAILED ? nullptr : static_cast<SharedOpen*>(map);
}

void AddHolder(SharedOpen* s, pid_t pid) {
  for (pid_t& gone : s->left) {
    if (gone == pid) gone = 0;
  }
  int free_slot = -1;
  for (int i = 0; i < kMaxHolders; ++i) {
    if (s->holders[i] == pid) return;
    if (free_slot < 0 && (s->holders[i] == 0 || kill(s->holders[i], 0) != 0)) free_slot = i;
  }
  // A full list still finds the newcomer through its parent.
  if (free_slot >= 0) s->holders[free_slot] = pid;
}

void ForgetHolder(SharedOpen* s, pid_t pid) {
  for (pid_t& holder : s->holders) {
    if (holder == pid) holder = 0;
  }
}

// Whether descriptor `name` of process `pid` goes through exec.
bool KeptOnExec(pid_t pid, const char* name) {
  char path[320];
  snprintf(path, sizeof path, "/proc/%d/fdinfo/%s", pid, name);
  int fd = libc.open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char text[256];
  ssize_t n = libc.read(fd, text, sizeof text - 1);
  libc.close(fd);
  if (n <= 0) return true;
  text[n] = '\0';
  const char* flags = strstr(text, "flags:");
  return flags == nullptr || (strtoul(flags + 6, nullptr, 8) & O_CLOEXEC) == 0;
}

// Whether process `pid` has a descriptor of the memory file `l` maps. A
// child that still shares this process's memory (posix_spawn's, before its
// exec) holds only what it keeps through the exec it is about to make.
bool Holds(pid_t pid, const Local& l) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/fd", pid);
  DIR* dir = opendir(path);
  if (dir == nullptr) return false;
  bool spawning = libc.syscall(SYS_kcmp, getpid(), pid, KCMP_VM, 0, 0) == 0;
  bool holds = false;
  while (const dirent* entry = readdir(dir)) {
    struct stat st;
    if (entry->d_name[0] != '.' && fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 && st.st_ino == l.ino &&
        st.st_dev == l.dev && (!spawning || KeptOnExec(pid, entry->d_name))) {
      holds = true;
      break;
    }
  }
  closedir(dir);
  return holds;
}

bool Listed(const pid_t* pids, int count, pid_t pid) {
  for (int i = 0; i < count; ++i) {
    if (pids[i] == pid) return true;
  }
  return false;
}

// Adds the children of `parent` to `pids`.
void AddChildren(pid_t parent, pid_t* pids, int* count) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task/%d/children", parent, parent);
  int fd = libc.open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char text[4096];
  ssize_t n = libc.read(fd, text, sizeof text - 1);
  libc.close(fd);
  if (n <= 0) return;
  text[n] = '\0';
  for (char* p = text; *count < kMaxCandidates;) {
    char* end;
    long pid = strtol(p, &end, 10);
    if (end == p) break;
    if (!Listed(pids, *count, static_cast<pid_t>(pid))) pids[(*count)++] = static_cast<pid_t>(pid);
    p = end;
  }
}

// Whether a process other than this one still holds a descriptor of the
// open: the kernel keeps an open file description until the last of them
// goes, and so does the drive. The processes are those known to have held
// one, and their descendants, which may have inherited one a moment ago.
bool OthersHold(Local& l) {
  SharedOpen* s = l.shared;
  pid_t pids[kMaxCandidates];
  int count = 0;
  pids[count++] = getpid();
  for (pid_t holder : s->holders) {
    if (holder != 0 && !Listed(pids, count, holder)) pids[count++] = holder;
  }
  for (int i = 0; i < count; ++i) AddChildren(pids[i], pids, &count);
  bool held = false;
  for (int i = 1; i < count; ++i) {
    if (!Listed(s->left, kMaxHolders, pids[i]) && Holds(pids[i], l)) {
      AddHolder(s, pids[i]);
      held = true;
    } else {
      ForgetHolder(s, pids[i]);
    }
  }
  return held;
}

void Unlock(Local& l) {
  if (!l.locked) return;
  l.locked = false;
  pthread_mutex_unlock(&l.shared->lock);
}

void Unmap(int drive) {
  Local& l = g_local[drive];
  Unlock(l);
  munmap(l.shared, sizeof(SharedOpen));
  if (l.state_fd >= 0) libc.close(l.state_fd);
  l = Local{};
}

// Whether a descriptor of the drive in this process goes through exec.
bool KeptThroughExec(int drive) {
  for (int fd = 0; fd < kMaxFds; ++fd) {
    if (g_drive_of[fd] != drive + 1) continue;
    int flags = libc.fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) return true;
  }
  return false;
}

// The image's descriptor goes wherever a descriptor of the drive goes
// through exec, and nowhere else, so that its lock lasts as long as the
// open and no other program inherits it.
void SyncInheritance(int drive) {
  bool inherited = KeptThroughExec(drive);
  for (int internal : {g_local[drive].image_fd, g_local[drive].state_fd}) {
    if (internal >= 0) libc.fcntl(internal, F_SETFD, inherited ? 0 : FD_CLOEXEC);
  }
}

// This process holds no descriptor of the drive any more: the last holder
// releases it, any other lets go of its copies of the image and record.
long Leave(int drive) {
  Local& l = g_local[drive];
  Drive held = DriveHeld(drive);
  ForgetHolder(l.shared, getpid());
  l.shared->left[l.shared->next_left] = getpid();
  l.shared->next_left = (l.shared->next_left + 1) % kMaxHolders;
  long result = 0;
  if (OthersHold(l)) {
    LeaveDrive(held);
  } else {
    result = ReleaseDrive(held);
    l.shared->released = true;
  }
  Unmap(drive);
  return result;
}

bool SameImage(int fd, const SharedOpen& s) {
  struct stat st;
  return libc.fstat(fd, &st) == 0 && st.st_dev == s.image_dev && st.st_ino == s.image_ino;
}

// The image's descriptor in this process (-1 for an open without a tape):
// inherited at the number the state names, or opened again when a program
// gave the drive to its child without it (posix_spawn's file actions dup a
// descriptor the library never sees). False when the image is not there.
bool ImageInPlace(const SharedOpen& s, int* image_fd) {
  *image_fd = s.image_fd;
  if (s.image_fd < 0 || (libc.fcntl(s.image_fd, F_GETFD) >= 0 && SameImage(s.image_fd, s))) return true;
  int fd = libc.open(s.image, s.image_access | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0 && SameImage(fd, s)) {
    *image_fd = MoveHigh(fd);
    return true;
  }
  if (fd >= 0) libc.close(fd);
  return false;
}

// The open whose state the memory file `state_fd` holds, mapped; null if
// it is none.
SharedOpen* MapState(int state_fd) {
  struct stat st;
  if (libc.fstat(state_fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(SharedOpen))) return nullptr;
  SharedOpen* s = Map(state_fd);
  if (s != nullptr && (s->magic != kMagic || s->drive < 0 || s->drive >= kMaxDrives)) {
    munmap(s, sizeof(SharedOpen));
    s = nullptr;
  }
  return s;
}

// Whether /proc shows `link` (in `dir`, a descriptor table) as the memory
// file named `name`.
bool IsMemoryFile(int dir, const char* link, const char* name) {
  char target[64];
  ssize_t n = readlinkat(dir, link, target, sizeof target - 1);
  if (n < 0) return false;
  size_t len = strlen(name);
  return static_cast<size_t>(n) >= len && memcmp(target, name, len) == 0 &&
         (static_cast<size_t>(n) == len || target[len] == ' ');
}

// The state of the open behind descriptor `st` in the parent's descriptors:
// a program that gave the drive to its child through posix_spawn's file
// actions, which dup a descriptor the library never sees, kept the state
// from it. A descriptor of it here, or -1; it goes high only once the
// image is in place, at a number of its own.
int StateOfParent(const struct stat& st) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/fd", static_cast<int>(getppid()));
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || !IsMemoryFile(dirfd(dir), entry->d_name, kStateFileLink)) continue;
    int fd = libc.openat(dirfd(dir), entry->d_name, O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    SharedOpen* s = MapState(fd);
    bool ours = s != nullptr && s->descriptor_dev == st.st_dev && s->descriptor_ino == st.st_ino;
    if (s != nullptr) munmap(s, sizeof(SharedOpen));
    if (ours) {
      found = fd;
      break;
    }
    libc.close(fd);
  }
  closedir(dir);
  return found;
}

// Takes up descriptor `fd` if it is one of an open of the drive the program
// inherited; `states` are the inherited states' descriptors (-1 once
// taken up).
void Inherit(int fd, int* states, int count) {
  struct stat st;
  if (libc.fstat(fd, &st) != 0) return;
  for (Local& l : g_local) {
    if (l.shared != nullptr && l.ino == st.st_ino && l.dev == st.st_dev) {
      g_drive_of[fd] = static_cast<unsigned char>(l.shared->drive + 1);
      ++l.refs;
      return;
    }
  }
  SharedOpen* s = nullptr;
  int state_fd = -1;
  for (int i = 0; i < count && s == nullptr; ++i) {
    if (states[i] < 0) continue;
    s = MapState(states[i]);
    if (s != nullptr && (s->descriptor_dev != st.st_dev || s->descriptor_ino != st.st_ino)) {
      munmap(s, sizeof(SharedOpen));
      s = nullptr;
    }
    if (s != nullptr) std::swap(state_fd, states[i]);
  }
  bool from_parent = s == nullptr;
  if (from_parent && (state_fd = StateOfParent(st)) >= 0) s = MapState(state_fd);
  if (s == nullptr) {
    if (state_fd >= 0) libc.close(state_fd);
    return;
  }
  Local& l = g_local[s->drive];
  LockOpen(s);
  int image_fd = -1;
  bool usable = l.shared == nullptr && !s->released && ImageInPlace(*s, &image_fd);
  if (usable) AddHolder(s, getpid());
  pthread_mutex_unlock(&s->lock);
  if (!usable) {
    munmap(s, sizeof(SharedOpen));
    libc.close(state_fd);
    return;
  }
  if (from_parent) state_fd = MoveHigh(state_fd);
  l = Local{s, st.st_dev, st.st_ino, 1, false, state_fd, image_fd};
  KeepInternal(l.state_fd, &l.state_fd);
  KeepInternal(l.image_fd, &l.image_fd);
  g_drive_of[fd] = static_cast<unsigned char>(s->drive + 1);
}

void BeforeFork() { pthread_mutex_lock(&g_lock); }
void AfterForkInParent() { pthread_mutex_unlock(&g_lock); }

// A forked child holds every descriptor its parent held.
void AfterForkInChild() {
  g_pid = getpid();
  for (Local& l : g_local) {
    if (l.shared == nullptr) continue;
    LockOpen(l.shared);
    AddHolder(l.shared, getpid());
    pthread_mutex_unlock(&l.shared->lock);
  }
  pthread_mutex_unlock(&g_lock);
}

}  // namespace

// The descriptor must be a real one, so that the kernel accepts it in poll,
// fcntl, dup and close, but nothing the program does to it behind the
// library's back may reach anything. /dev/null was that, but programs know
// /dev/null by its device number (GNU tar then writes no archive at all); a
// sealed memory file reads as empty and fails writes with EPERM.
int NewTapeDescriptor(int flags) {
  int fd = memfd_create(kMemoryFileName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -errno;
  libc.fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
  return Placed(fd, flags);
}

// The open's state in a memory file of its own, mapped, its descriptor at
// a number of the library's in `*state_fd`. A file size limit (ulimit -f)
// refuses the memory file its size: the open is then shared with forked
// children only (`*state_fd` -1).
SharedOpen* NewState(int* state_fd) {
  *state_fd = memfd_create(kStateFileName, MFD_CLOEXEC);
  SharedOpen* s = nullptr;
  if (*state_fd >= 0 && ftruncate(*state_fd, sizeof(SharedOpen)) == 0) {
    s = Map(*state_fd);
  }
  if (s == nullptr) {
    if (*state_fd >= 0) libc.close(*state_fd);
    *state_fd = -1;
    void* map = mmap(nullptr, sizeof(SharedOpen), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return map == MAP_FAILED ? nullptr : static_cast<SharedOpen*>(map);
  }
  // The descriptor that children inherit reads only: a program that does
  // not go through the library (a static one) cannot write the state
  // through it by mistake. Reopened through /proc, it still can on purpose.
  *state_fd = MoveHigh(Reopen(*state_fd, O_RDONLY));
  return s;
}

int NewDriveDescriptor(int flags, int drive) {
  int fd = NewTapeDescriptor(flags);
  if (fd < 0) return fd;
  int state_fd;
  SharedOpen* s = NewState(&state_fd);
  struct stat st;
  if (s == nullptr || libc.fstat(fd, &st) != 0) {
    int error = errno;
    libc.close(fd);
    if (s != nullptr) munmap(s, sizeof(SharedOpen));
    if (state_fd >= 0) libc.close(state_fd);
    return -error;
  }
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&s->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  s->magic = kMagic;
  s->drive = drive;
  s->image_fd = -1;
  s->descriptor_dev = st.st_dev;
  s->descriptor_ino = st.st_ino;
  Local& l = g_local[drive];
  l = Local{s, st.st_dev, st.st_ino, 0, false, state_fd};
  KeepInternal(l.state_fd, &l.state_fd);
  return fd;
}

void AdoptTapeDescriptor(int fd, int drive, int image_fd, const char* image, bool rewinding) {
  Local& l = g_local[drive];
  SharedOpen* s = l.shared;
  s->image_fd = image_fd;
  l.image_fd = image_fd;
  KeepInternal(l.image_fd, &l.image_fd);
  s->rewinding = rewinding;
  struct stat st;
  if (image_fd >= 0 && libc.fstat(image_fd, &st) == 0) {
    s->image_dev = st.st_dev;
    s->image_ino = st.st_ino;
    s->image_access = libc.fcntl(image_fd, F_GETFL) & O_ACCMODE;
  }
  snprintf(s->image, sizeof s->image, "%s", image);
  AddHolder(s, getpid());
  g_drive_of[fd] = static_cast<unsigned char>(drive + 1);
  l.refs = 1;
  SyncInheritance(drive);
}

void DiscardDriveDescriptor(int fd, int drive) {
  libc.close(fd);
  Unmap(drive);
}

namespace {

// The drive's code finds the image at the number its shared state names,
// which is this process's own once it holds the lock.
void UseOwnImageDescriptor(Local& l) {
  SharedOpen& s = *l.shared;
  if (l.image_fd < 0 || s.image_fd < 0 || s.image_fd == l.image_fd) return;
  s.image_fd = l.image_fd;
  if (s.tape.image_fd >= 0) s.tape.image_fd = l.image_fd;
  if (s.record.image_fd >= 0) s.record.image_fd = l.image_fd;
}

}  // namespace

Drive DriveHeld(int drive) {
  Local& l = g_local[drive];
  Drive held{drive, nullptr, Keeper{nullptr, &g_record_files[drive].fd}};
  if (l.shared == nullptr) return held;
  if (!l.locked) {
    LockOpen(l.shared);
    l.locked = true;
    UseOwnImageDescriptor(l);
  }
  held.state = &l.shared->tape;
  held.keeper.state = &l.shared->record;
  return held;
}

bool DriveRewinding(int drive) {
  const Local& l = g_local[drive];
  return l.shared != nullptr && l.shared->rewinding;
}

void UnlockSharedStates() {
  for (Local& l : g_local) Unlock(l);
}

int CloseRange(unsigned first, unsigned last, int flags) {
  Locked lock;
  int internal[kMaxInternal];
  int count = InternalIn(first, last, internal);
  unsigned from = first;
  long r = 0;
  for (int k = 0; k < count && r == 0; ++k) {
    unsigned fd = static_cast<unsigned>(internal[k]);
    if (fd > from) r = libc.syscall(SYS_close_range, from, fd - 1, flags);
    from = fd + 1;
  }
  if (r == 0 && from <= last && from >= first) r = libc.syscall(SYS_close_range, from, last, flags);
  if (r != 0) return -1;
  for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(kMaxFds); ++fd) {
    if (!IsTape(static_cast<int>(fd))) continue;
    if ((flags & CLOSE_RANGE_CLOEXEC) != 0) {
      SyncInheritance(DriveOf(static_cast<int>(fd)));
    } else {
      Untrack(static_cast<int>(fd));
    }
  }
  return 0;
}

long Untrack(int fd) {
  int drive = DriveOf(fd);
  g_drive_of[fd] = 0;
  if (--g_local[drive].refs > 0) {
    SyncInheritance(drive);
    return 0;
  }
  return Leave(drive);
}

int TrackDup(int newfd, int drive) {
  if (newfd < 0) return newfd;
  // The kernel gave the number out: the drive's descriptor there is gone.
  if (IsTape(newfd)) Untrack(newfd);
  if (newfd >= kMaxFds) {
    libc.close(newfd);
    errno = EMFILE;
    return -1;
  }
  g_drive_of[newfd] = static_cast<unsigned char>(drive + 1);
  ++g_local[drive].refs;
  SyncInheritance(drive);
  return newfd;
}

void TrackCloseOnExec(int fd) {
  if (IsTape(fd)) SyncInheritance(DriveOf(fd));
}

int DupTo(int oldfd, int newfd, int flags, bool is_dup3) {
  int saved = errno;
  int r = is_dup3 ? libc.dup3(oldfd, newfd, flags) : libc.dup2(oldfd, newfd);
  if (r < 0 || oldfd == newfd) return r;
  Locked lock;
  int old_drive = IsTape(oldfd) ? DriveOf(oldfd) : -1;
  if (old_drive >= 0) ++g_local[old_drive].refs;
  // dup2 closed whatever newfd was; its close error is lost, as in the kernel.
  if (IsTape(newfd)) Untrack(newfd);
  if (old_drive >= 0) {
    --g_local[old_drive].refs;
    r = TrackDup(r, old_drive);
  }
  if (r >= 0) errno = saved;
  return r;
}

void AdoptInherited() {
  g_pid = getpid();
  pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  int descriptors[kMaxInherited], states[kMaxInherited];
  int nd = 0, ns = 0;
  while (const dirent* entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == dirfd(dir)) continue;
    if (fd < kMaxFds && nd < kMaxInherited && IsMemoryFile(dirfd(dir), entry->d_name, kMemoryFileLink)) {
      descriptors[nd++] = fd;
    } else if (ns < kMaxInherited && IsMemoryFile(dirfd(dir), entry->d_name, kStateFileLink)) {
      states[ns++] = fd;
    }
  }
  closedir(dir);
  for (int i = 0; i < nd; ++i) Inherit(descriptors[i], states, ns);
  // States of no descriptor here go no further.
  for (int i = 0; i < ns; ++i) {
    if (states[i] >= 0) libc.close(states[i]);
  }
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    if (g_local[drive].shared != nullptr) SyncInheritance(drive);
  }
}

void OfferToSpawn(int drive) {
  Locked lock;
  if (g_local[drive].shared == nullptr) return;
  for (int internal : {g_local[drive].image_fd, g_local[drive].state_fd}) {
    if (internal >= 0) libc.fcntl(internal, F_SETFD, 0);
  }
}

void SpawnMade(int drive) {
  Locked lock;
  if (g_local[drive].shared != nullptr) SyncInheritance(drive);
}

void ReleaseAtExit(bool flush) {
  // A child of vfork shares this memory with its parent, whose opens these
  // are; its exit closes nothing of theirs.
  if (getpid() != g_pid) return;
  // Output still buffered in streams on the drive belongs on the tape before
  // the closing filemark; exit would flush it only after this.
  if (flush) fflush(nullptr);
  Locked lock;
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    if (g_local[drive].shared != nullptr) Leave(drive);
  }
  // Whatever runs later in the exit reaches the kernel's descriptors, not a
  // drive that is gone.
  memset(g_drive_of, 0, sizeof g_drive_of);
}

void LeaveBeforeExec() {
  // A child of vfork shares this memory with its parent, whose opens these
  // are.
  if (getpid() != g_pid) return;
  Locked lock;
  for (int drive = 0; drive < kMaxDrives; ++drive) {
    if (g_local[drive].shared == nullptr || KeptThroughExec(drive)) continue;
    Leave(drive);
    for (unsigned char& of : g_drive_of) {
      if (of == drive + 1) of = 0;
    }
  }
}

}  // namespace vtape::preload
