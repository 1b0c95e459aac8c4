// tapeio: makes an exact sequence of tape calls on one descriptor and prints
// what each returned, so that a tape can be laid down block by block and read
// back the same way on any drive, real or virtual.
//
//   tapeio [-d DATA] [-o OUT] DEVICE OP...
//
// OP is one of open=r|w|rw, close, rew, setblk=N, weof=N, write=N (one block
// of N bytes, taken in turn from DATA, or 'A', 'B', ... without it), read=N
// (one read with an N-byte buffer; the bytes go to OUT) and readall=N (read=N
// until a read fails). Each OP prints one line: the OP, then the result of
// each call, a number or the errno name. Only a malformed command line fails.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

/// The largest buffer one read or write may use.
constexpr long kMaxBlock = 1 << 20;

/// A bound on readall, for a drive that never reports an error.
constexpr int kMaxReads = 100000;

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: tapeio [-d DATA] [-o OUT] DEVICE OP...\n"
               "  OP: open=r|w|rw close rew setblk=N weof=N write=N read=N readall=N\n");
  std::exit(1);
}

/// Formats a call's result: the count, or the name of errno if it failed.
std::string Result(long r) {
  if (r >= 0) return std::to_string(r);
  const char* name = strerrorname_np(errno);
  return name ? name : "errno " + std::to_string(errno);
}

/// Parses the count after '=' in "name=count"; a missing or bad one is fatal.
long Count(std::string_view op) {
  size_t eq = op.find('=');
  if (eq == std::string_view::npos) Usage();
  std::string digits(op.substr(eq + 1));
  char* end = nullptr;
  long n = std::strtol(digits.c_str(), &end, 10);
  if (digits.empty() || *end != '\0' || n < 0 || n > kMaxBlock) Usage();
  return n;
}

struct Tape {
  const char* device;
  int fd = -1;
  FILE* data = nullptr;  // where written blocks come from, if given
  FILE* out = nullptr;   // where the bytes read go, if given
  int blocks_written = 0;
  std::vector<char> buffer = std::vector<char>(kMaxBlock);

  long Open(std::string_view mode) {
    int flags = mode == "r" ? O_RDONLY : mode == "w" ? O_WRONLY : mode == "rw" ? O_RDWR : -1;
    if (flags < 0) Usage();
    fd = open(device, flags);
    return fd < 0 ? -1 : 0;
  }

  long Close() {
    long r = close(fd);
    fd = -1;
    return r;
  }

  long Op(short op, long count) {
    mtop m{};
    m.mt_op = op;
    m.mt_count = static_cast<int>(count);
    return ioctl(fd, MTIOCTOP, &m);
  }

  long Write(long n) {
    ++blocks_written;
    if (data) {
      // A short data file leaves the rest of the block zero.
      std::memset(buffer.data(), 0, n);
      if (std::fread(buffer.data(), 1, n, data) == 0 && n > 0)
        std::fprintf(stderr, "tapeio: data file exhausted\n");
    } else {
      std::memset(buffer.data(), 'A' + (blocks_written - 1) % 26, n);
    }
    return write(fd, buffer.data(), n);
  }

  long Read(long n) {
    long r = read(fd, buffer.data(), n);
    if (r > 0 && out) std::fwrite(buffer.data(), 1, r, out);
    return r;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Tape tape{};
  int ch;
  while ((ch = getopt(argc, argv, "d:o:")) != -1) {
    switch (ch) {
      case 'd':
        tape.data = std::fopen(optarg, "rb");
        if (!tape.data) {
          std::perror(optarg);
          return 1;
        }
        break;
      case 'o':
        tape.out = std::fopen(optarg, "wb");
        if (!tape.out) {
          std::perror(optarg);
          return 1;
        }
        break;
      default:
        Usage();
    }
  }
  argc -= optind;
  argv += optind;
  if (argc < 2) Usage();
  tape.device = argv[0];

  for (int i = 1; i < argc; ++i) {
    std::string_view op = argv[i];
    std::string line(op);
    if (op.starts_with("open=")) {
      line += " " + Result(tape.Open(op.substr(5)));
    } else if (op == "close") {
      line += " " + Result(tape.Close());
    } else if (op == "rew") {
      line += " " + Result(tape.Op(MTREW, 1));
    } else if (op.starts_with("setblk=")) {
      line += " " + Result(tape.Op(MTSETBLK, Count(op)));
    } else if (op.starts_with("weof=")) {
      line += " " + Result(tape.Op(MTWEOF, Count(op)));
    } else if (op.starts_with("write=")) {
      line += " " + Result(tape.Write(Count(op)));
    } else if (op.starts_with("read=")) {
      line += " " + Result(tape.Read(Count(op)));
    } else if (op.starts_with("readall=")) {
      long n = Count(op);
      for (int reads = 0; reads < kMaxReads; ++reads) {
        long r = tape.Read(n);
        line += " " + Result(r);
        if (r < 0) break;
      }
    } else {
      Usage();
    }
    std::printf("%s\n", line.c_str());
  }
  if (tape.out) std::fclose(tape.out);
  return 0;
}
