// changer_stress: many threads of many processes at the changer and the
// drives at once. Each thread sends COMMANDS commands, drawn from its own
// seed: MOVE MEDIUM between any two elements, READ ELEMENT STATUS of the
// whole library, and an open of a drive that locks and unlocks its door.
// Every answer must be one that some order of the commands could give:
// a move done or refused for the element's state (empty, full, locked);
// a status that shows every one of the CARTRIDGES cartridges exactly once.
//
//   changer_stress PROCESSES THREADS COMMANDS CARTRIDGES
//
// Prints each answer no order could give, and exits 1 if there was one.

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kFirstDrive = 2;
constexpr int kFirstSlot = 1000;
constexpr size_t kStatusSpace = 65536;

struct Library {
  int changer;
  int slots;
  int drives;
  size_t cartridges;
};

struct Answer {
  bool sent;  // the ioctl itself worked
  bool good;
  uint8_t key, asc, ascq;
  size_t length;
};

Answer Send(int fd, const std::vector<uint8_t>& cdb, uint8_t* data, size_t cap) {
  uint8_t sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.cmdp = const_cast<uint8_t*>(cdb.data());
  io.cmd_len = static_cast<unsigned char>(cdb.size());
  io.dxfer_direction = data != nullptr ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
  io.dxferp = data;
  io.dxfer_len = static_cast<unsigned>(cap);
  io.sbp = sense;
  io.mx_sb_len = sizeof sense;
  io.timeout = 60000;
  if (ioctl(fd, SG_IO, &io) != 0) return Answer{false, false, 0, 0, 0, 0};
  bool good = io.status == 0 && io.host_status == 0 && io.driver_status == 0;
  return Answer{true,      good,      static_cast<uint8_t>(sense[2] & 0x0F),
                sense[12], sense[13], cap - static_cast<size_t>(io.resid)};
}

void Problem(const std::string& what) {
  // One write a line, so that lines of different threads do not interleave.
  std::string line = what + "\n";
  (void)!write(STDOUT_FILENO, line.data(), line.size());
}

std::string SenseText(const Answer& a) {
  char text[64];
  snprintf(text, sizeof text, "%s, sense %X %02X/%02X", a.sent ? "sent" : strerror(errno), a.key, a.asc, a.ascq);
  return text;
}

bool Move(const Library& lib, std::mt19937& random) {
  int elements = lib.slots + lib.drives;
  auto address = [&](int i) { return i < lib.drives ? kFirstDrive + i : kFirstSlot + i - lib.drives; };
  int from = address(static_cast<int>(random() % elements));
  int to = address(static_cast<int>(random() % elements));
  std::vector<uint8_t> cdb = {0xA5, 0, 0, 0, uint8_t(from >> 8), uint8_t(from), uint8_t(to >> 8), uint8_t(to),
                              0,    0, 0, 0};
  Answer a = Send(lib.changer, cdb, nullptr, 0);
  // Source empty, destination full, removal prevented by a door lock.
  bool refused_for_state =
      a.key == 5 && ((a.asc == 0x3B && (a.ascq == 0x0E || a.ascq == 0x0D)) || (a.asc == 0x53 && a.ascq == 0x02));
  if (a.sent && (a.good || refused_for_state)) return true;
  Problem("move " + std::to_string(from) + " to " + std::to_string(to) + ": " + SenseText(a));
  return false;
}

bool Status(const Library& lib) {
  std::vector<uint8_t> data(kStatusSpace);
  std::vector<uint8_t> cdb = {
      0xB8, 0x10, 0, 0, 0xFF, 0xFF, 0, uint8_t(kStatusSpace >> 16), uint8_t(kStatusSpace >> 8), uint8_t(kStatusSpace),
      0,    0};
  Answer a = Send(lib.changer, cdb, data.data(), data.size());
  if (!a.sent || !a.good) {
    Problem("status: " + SenseText(a));
    return false;
  }
  std::multiset<std::string> seen;
  for (size_t page = 8; page + 8 <= a.length;) {
    size_t descriptor = static_cast<size_t>(data[page + 2] << 8 | data[page + 3]);
    size_t bytes = static_cast<size_t>(data[page + 5] << 16 | data[page + 6] << 8 | data[page + 7]);
    for (size_t at = page + 8; descriptor > 0 && at + descriptor <= page + 8 + bytes; at += descriptor) {
      if ((data[at + 2] & 0x01) == 0) continue;
      std::string tag(reinterpret_cast<const char*>(&data[at + 12]), 32);
      seen.insert(tag.substr(0, tag.find(' ')));
    }
    page += 8 + bytes;
  }
  std::set<std::string> distinct(seen.begin(), seen.end());
  if (seen.size() == lib.cartridges && distinct.size() == lib.cartridges) return true;
  Problem("status shows " + std::to_string(seen.size()) + " cartridges, " + std::to_string(distinct.size()) +
          " distinct");
  return false;
}

// A drive held by another open is busy; any other refusal, and a lock that
// cannot be undone, are faults, even when another thread has taken the
// tape out of the drive since the open.
bool LockDoor(const Library& lib, std::mt19937& random) {
  std::string name = "/dev/nst" + std::to_string(random() % lib.drives);
  int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == EBUSY) return true;
    Problem("open " + name + ": " + strerror(errno));
    return false;
  }
  mtop lock = {MTLOCK, 1}, unlock = {MTUNLOCK, 1};
  bool ok = ioctl(fd, MTIOCTOP, &lock) == 0 && ioctl(fd, MTIOCTOP, &unlock) == 0;
  if (!ok) Problem("lock " + name + ": " + strerror(errno));
  close(fd);
  return ok;
}

void Commands(const Library& lib, unsigned seed, int count, bool* ok) {
  std::mt19937 random(seed);
  for (int i = 0; i < count; ++i) {
    unsigned kind = random() % 10;
    bool fine = kind < 5 ? Move(lib, random) : kind < 9 ? Status(lib) : LockDoor(lib, random);
    *ok = *ok && fine;
  }
}

bool Threads(const Library& lib, int process, int threads, int count) {
  std::vector<std::thread> running;
  std::vector<char> ok(static_cast<size_t>(threads), 1);
  for (int t = 0; t < threads; ++t) {
    bool* mine = reinterpret_cast<bool*>(&ok[static_cast<size_t>(t)]);
    running.emplace_back(Commands, std::cref(lib), static_cast<unsigned>(process * threads + t), count, mine);
  }
  for (std::thread& t : running) t.join();
  for (char o : ok) {
    if (!o) return false;
  }
  return true;
}

// The library's size, from the changer's element address assignment page.
bool Measure(Library* lib) {
  uint8_t page[32];
  Answer a = Send(lib->changer, {0x1A, 0x08, 0x1D, 0, sizeof page, 0}, page, sizeof page);
  if (!a.sent || !a.good) return false;
  lib->slots = page[4 + 8] << 8 | page[4 + 9];
  lib->drives = page[4 + 16] << 8 | page[4 + 17];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: changer_stress PROCESSES THREADS COMMANDS CARTRIDGES\n");
    return 2;
  }
  int processes = atoi(argv[1]), threads = atoi(argv[2]), count = atoi(argv[3]);
  Library lib{open("/dev/sch0", O_RDWR), 0, 0, static_cast<size_t>(atoi(argv[4]))};
  // The children inherit the changer's descriptor and the library as this
  // process opened it.
  if (lib.changer < 0 || !Measure(&lib)) {
    perror("/dev/sch0");
    return 2;
  }
  std::vector<pid_t> children;
  for (int p = 1; p < processes; ++p) {
    pid_t pid = fork();
    if (pid == 0) _exit(Threads(lib, p, threads, count) ? 0 : 1);
    children.push_back(pid);
  }
  bool ok = Threads(lib, 0, threads, count);
  for (pid_t pid : children) {
    int status;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok ? 0 : 1;
}
