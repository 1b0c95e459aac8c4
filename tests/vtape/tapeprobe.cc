// tapeprobe: makes a scripted sequence of tape calls on one device and prints
// one line per call with its result, so that the virtual drive and the
// kernel's st driver can be compared line by line. The transcript holds no
// descriptor numbers or addresses.
//
//   tapeprobe DEVICE STEP...
//
// Steps (the device descriptor is the one the last successful open gave):
//   open:ro|rw|wo[:nonblock|:direct]   open DEVICE
//   fopen:MODE                 fopen DEVICE with MODE, then fclose
//   mmap                       map a page of the descriptor, shared, for reading
//   execveat                   execute the descriptor (execveat, AT_EMPTY_PATH)
//   close                      close the descriptor
//   read:N                     read N bytes; prints the count and the bytes in hex
//   write:N[:XX]               write N bytes of hex byte XX (default 00)
//   NAME[:N]                   MTIOCTOP with the operation NAME (weof rew
//                              setblk fsf bsf fsr bsr fsfm bsfm eom seek erase
//                              offl load reten lock unlock compression
//                              setdensity drvbuffer setpart nop), count N
//                              (default 1)
//   op:N[:COUNT]               MTIOCTOP with the raw operation N
//   status                     MTIOCGET: file and block number and status bits
//   mode                       MTIOCGET: block size and density
//   tell                       MTIOCPOS: records (blocks and tape marks) before the position
//   dup                        dup the descriptor and close the old one
//   dup2:N                     dup2 onto descriptor N and close the old one
//   exit                       exit(0) without closing anything
//   kill                       SIGKILL this process
//   also:PATH                  open PATH read-only from a second thread, given
//                              200 ms to begin; prints its result when it returns
//   join                       wait for that thread

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kExitUsage = 2;

[[noreturn]] void Usage(const char* why) {
  fprintf(stderr, "tapeprobe: %s\nusage: tapeprobe DEVICE STEP...\n", why);
  exit(kExitUsage);
}

std::string ErrnoText(int e) {
  const char* name = strerrorname_np(e);
  return name != nullptr ? name : std::to_string(e);
}

// "-1 ENAME" for a failed call, the value otherwise.
std::string Outcome(long result) {
  if (result < 0) return "-1 " + ErrnoText(errno);
  return std::to_string(result);
}

long Number(const std::string& text, const std::string& step) {
  char* end;
  long n = strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0') Usage(("bad number in " + step).c_str());
  return n;
}

std::vector<std::string> Split(const std::string& step) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t colon; (colon = step.find(':', start)) != std::string::npos; start = colon + 1) {
    parts.push_back(step.substr(start, colon - start));
  }
  parts.push_back(step.substr(start));
  return parts;
}

// The MTIOCTOP operation a step names, or -1.
short OperationNamed(const std::string& name) {
  static const struct {
    const char* name;
    short op;
  } kOps[] = {
      {"weof", MTWEOF},   {"rew", MTREW},     {"setblk", MTSETBLK}, {"fsf", MTFSF},
      {"bsf", MTBSF},     {"fsr", MTFSR},     {"bsr", MTBSR},       {"fsfm", MTFSFM},
      {"bsfm", MTBSFM},   {"eom", MTEOM},     {"seek", MTSEEK},     {"erase", MTERASE},
      {"offl", MTOFFL},   {"load", MTLOAD},   {"reten", MTRETEN},   {"lock", MTLOCK},
      {"unlock", MTUNLOCK}, {"compression", MTCOMPRESSION}, {"setdensity", MTSETDENSITY},
      {"drvbuffer", MTSETDRVBUFFER}, {"setpart", MTSETPART}, {"nop", MTNOP},
  };
  for (const auto& o : kOps) {
    if (name == o.name) return o.op;
  }
  return -1;
}

long TapeOp(int fd, short op, int count) {
  mtop m{};
  m.mt_op = op;
  m.mt_count = count;
  return ioctl(fd, MTIOCTOP, &m);
}

std::string Status(int fd) {
  mtget status{};
  if (ioctl(fd, MTIOCGET, &status) < 0) return Outcome(-1);
  static const struct {
    long bit;
    const char* name;
  } kBits[] = {
      {GMT_EOF(~0L), "EOF"},         {GMT_BOT(~0L), "BOT"},   {GMT_EOT(~0L), "EOT"},
      {GMT_EOD(~0L), "EOD"},         {GMT_WR_PROT(~0L), "WR_PROT"},
      {GMT_ONLINE(~0L), "ONLINE"}, {GMT_DR_OPEN(~0L), "DR_OPEN"},
  };
  std::string bits;
  for (const auto& b : kBits) {
    if (status.mt_gstat & b.bit) bits += (bits.empty() ? "" : ",") + std::string(b.name);
  }
  return "file " + std::to_string(status.mt_fileno) + " block " + std::to_string(status.mt_blkno) +
         " bits " + (bits.empty() ? "-" : bits);
}

std::string Hex(const unsigned char* data, size_t n) {
  std::string out;
  char byte[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage("no device");
  const char* device = argv[1];
  int fd = -1;
  std::thread also;
  for (int i = 2; i < argc; ++i) {
    const std::string step = argv[i];
    const std::vector<std::string> p = Split(step);
    const std::string& verb = p[0];
    std::string result;
    if (verb == "open" && (p.size() == 2 || (p.size() == 3 && (p[2] == "nonblock" || p[2] == "direct")))) {
      int flags = p[1] == "ro" ? O_RDONLY : p[1] == "rw" ? O_RDWR : p[1] == "wo" ? O_WRONLY : -1;
      if (flags < 0) Usage(("bad open mode in " + step).c_str());
      if (p.size() == 3) flags |= p[2] == "direct" ? O_DIRECT : O_NONBLOCK;
      int opened = open(device, flags);
      if (opened >= 0) fd = opened;
      result = opened >= 0 ? "ok" : Outcome(-1);
    } else if (verb == "fopen" && p.size() == 2) {
      FILE* stream = fopen(device, p[1].c_str());
      result = stream != nullptr ? Outcome(fclose(stream)) : Outcome(-1);
    } else if (verb == "mmap" && p.size() == 1) {
      void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
      result = page != MAP_FAILED ? Outcome(munmap(page, 4096)) : Outcome(-1);
    } else if (verb == "execveat" && p.size() == 1) {
      char* const args[] = {argv[0], nullptr};
      result = Outcome(execveat(fd, "", args, environ, AT_EMPTY_PATH));
    } else if (verb == "close" && p.size() == 1) {
      result = Outcome(close(fd));
    } else if (verb == "read" && p.size() == 2) {
      std::vector<unsigned char> buf(static_cast<size_t>(Number(p[1], step)) + 1);
      long n = read(fd, buf.data(), buf.size() - 1);
      result = Outcome(n);
      if (n > 0) result += " " + Hex(buf.data(), static_cast<size_t>(n));
    } else if (verb == "write" && (p.size() == 2 || p.size() == 3)) {
      std::vector<unsigned char> buf(static_cast<size_t>(Number(p[1], step)),
                                     static_cast<unsigned char>(p.size() == 3 ? Number("0x" + p[2], step) : 0));
      result = Outcome(write(fd, buf.data(), buf.size()));
    } else if (OperationNamed(verb) >= 0 && p.size() <= 2) {
      int count = p.size() == 2 ? static_cast<int>(Number(p[1], step)) : 1;
      result = Outcome(TapeOp(fd, OperationNamed(verb), count));
    } else if (verb == "op" && (p.size() == 2 || p.size() == 3)) {
      int count = p.size() == 3 ? static_cast<int>(Number(p[2], step)) : 1;
      result = Outcome(TapeOp(fd, static_cast<short>(Number(p[1], step)), count));
    } else if (verb == "status" && p.size() == 1) {
      result = Status(fd);
    } else if (verb == "mode" && p.size() == 1) {
      mtget status{};
      result = ioctl(fd, MTIOCGET, &status) < 0
                   ? Outcome(-1)
                   : "block size " + std::to_string((status.mt_dsreg & MT_ST_BLKSIZE_MASK) >> MT_ST_BLKSIZE_SHIFT) +
                         " density " + std::to_string((status.mt_dsreg & MT_ST_DENSITY_MASK) >> MT_ST_DENSITY_SHIFT);
    } else if (verb == "tell" && p.size() == 1) {
      mtpos pos{};
      result = ioctl(fd, MTIOCPOS, &pos) < 0 ? Outcome(-1) : std::to_string(pos.mt_blkno);
    } else if ((verb == "dup" && p.size() == 1) || (verb == "dup2" && p.size() == 2)) {
      int copy = verb == "dup" ? dup(fd) : dup2(fd, static_cast<int>(Number(p[1], step)));
      if (copy >= 0 && copy != fd) {
        close(fd);
        fd = copy;
      }
      result = copy >= 0 ? "ok" : Outcome(-1);
    } else if (verb == "also" && p.size() == 2 && !also.joinable()) {
      also = std::thread([path = p[1]] {
        std::string opened = Outcome(open(path.c_str(), O_RDONLY));
        printf("also %s -> %s\n", path.c_str(), opened.starts_with("-1") ? opened.c_str() : "ok");
        fflush(stdout);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      result = "started";
    } else if (verb == "join" && p.size() == 1 && also.joinable()) {
      also.join();
      result = "ok";
    } else if (verb == "exit" && p.size() == 1) {
      printf("%s\n", step.c_str());
      fflush(stdout);
      exit(0);
    } else if (verb == "kill" && p.size() == 1) {
      printf("%s\n", step.c_str());
      fflush(stdout);
      raise(SIGKILL);
    } else {
      Usage(("unknown step " + step).c_str());
    }
    printf("%s -> %s\n", step.c_str(), result.c_str());
    fflush(stdout);
  }
  return 0;
}
