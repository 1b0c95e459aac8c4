#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include <gtest/gtest.h>

namespace test_support {

namespace {

// Builds the child's environment: the inherited one with `extra` laid over.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    vars[entry.substr(0, entry.find('='))] = entry;
  }
  for (const std::string& entry : extra) vars[entry.substr(0, entry.find('='))] = entry;
  std::vector<std::string> merged;
  for (auto& [name, entry] : vars) merged.push_back(entry);
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

CommandResult Run(const std::vector<std::string>& argv, const std::string& input,
                  const std::vector<std::string>& env) {
  CommandResult result;
  std::vector<std::string> args = argv;
  std::vector<std::string> vars = MergedEnvironment(env);
  std::vector<char*> arg_ptrs = Pointers(args);
  std::vector<char*> env_ptrs = Pointers(vars);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return result;
  }
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execvpe(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
    dprintf(2, "exec %s: %s\n", arg_ptrs[0], strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // A child that stops reading its input must not kill us.
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) close(in[1]);
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {input.empty() ? -1 : in[1], POLLOUT, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      ADD_FAILURE() << "poll: " << strerror(errno);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  int wstatus;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) continue;
  result.status = WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
  return result;
}

TapeRecord Block(std::string data) { return TapeRecord{false, std::move(data)}; }
TapeRecord Block(size_t length, char byte) { return TapeRecord{false, std::string(length, byte)}; }
TapeRecord Mark() { return TapeRecord{true, ""}; }

namespace {

void PutLength(std::string* out, size_t value) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>((value >> 8) & 0xff));
}

size_t GetLength(const std::string& in, size_t at) {
  return static_cast<unsigned char>(in[at]) | static_cast<unsigned char>(in[at + 1]) << 8;
}

}  // namespace

std::string EncodeAws(const std::vector<TapeRecord>& records) {
  constexpr size_t kSegment = 65535;
  std::string out;
  size_t prev = 0;
  auto header = [&](size_t length, unsigned flags) {
    PutLength(&out, length);
    PutLength(&out, prev);
    out.push_back(static_cast<char>(flags));
    out.push_back('\0');
    prev = length;
  };
  for (const TapeRecord& r : records) {
    if (r.mark) {
      header(0, 0x40);
      continue;
    }
    size_t done = 0;
    do {
      size_t length = std::min(kSegment, r.data.size() - done);
      header(length, (done == 0 ? 0x80 : 0) | (done + length == r.data.size() ? 0x20 : 0));
      out.append(r.data, done, length);
      done += length;
    } while (done < r.data.size());
  }
  return out;
}

bool DecodeAws(const std::string& image, std::vector<TapeRecord>* records, std::string* error) {
  records->clear();
  size_t at = 0;
  size_t prev = 0;
  bool in_block = false;
  while (at < image.size()) {
    if (image.size() - at < 6) {
      *error = "file ends inside a header at " + std::to_string(at);
      return false;
    }
    size_t length = GetLength(image, at);
    size_t prev_field = GetLength(image, at + 2);
    unsigned flags1 = static_cast<unsigned char>(image[at + 4]);
    unsigned flags2 = static_cast<unsigned char>(image[at + 5]);
    if (prev_field != prev || flags2 != 0) {
      *error = "bad header at " + std::to_string(at);
      return false;
    }
    if (flags1 == 0x40 && length == 0 && !in_block) {
      records->push_back(Mark());
    } else if ((flags1 & ~0xa0u) == 0 && ((flags1 & 0x80) != 0) != in_block) {
      if (image.size() - at - 6 < length) {
        *error = "file ends inside a block at " + std::to_string(at);
        return false;
      }
      if (!in_block) records->push_back(Block(""));
      records->back().data += image.substr(at + 6, length);
      in_block = (flags1 & 0x20) == 0;
    } else {
      *error = "bad flags at " + std::to_string(at);
      return false;
    }
    prev = length;
    at += 6 + length;
  }
  if (in_block) {
    *error = "file ends inside a chained block";
    return false;
  }
  return true;
}

void WriteAwsFile(const std::string& path, const std::vector<TapeRecord>& records) {
  WriteFile(path, EncodeAws(records));
}

std::vector<TapeRecord> ReadAwsFile(const std::string& path) {
  std::vector<TapeRecord> records;
  std::string error;
  EXPECT_TRUE(DecodeAws(ReadFile(path), &records, &error)) << path << ": " << error;
  return records;
}

std::string Ebcdic(std::string_view text) {
  // Code page 037 by hand: the letters come in three runs, the digits in one.
  static const std::map<char, unsigned char> kSpecial = {
      {' ', 0x40}, {'.', 0x4b}, {'*', 0x5c}, {'-', 0x60}, {'/', 0x61}, {'_', 0x6d}};
  std::string out;
  for (char c : text) {
    unsigned char e;
    if (c >= 'A' && c <= 'I') {
      e = static_cast<unsigned char>(0xc1 + (c - 'A'));
    } else if (c >= 'J' && c <= 'R') {
      e = static_cast<unsigned char>(0xd1 + (c - 'J'));
    } else if (c >= 'S' && c <= 'Z') {
      e = static_cast<unsigned char>(0xe2 + (c - 'S'));
    } else if (c >= '0' && c <= '9') {
      e = static_cast<unsigned char>(0xf0 + (c - '0'));
    } else if (auto it = kSpecial.find(c); it != kSpecial.end()) {
      e = it->second;
    } else {
      ADD_FAILURE() << "no EBCDIC for '" << c << "' in the test table";
      e = 0x6f;
    }
    out.push_back(static_cast<char>(e));
  }
  return out;
}

std::string Record(std::string_view text) {
  std::string record(text);
  record.resize(80, ' ');
  return record;
}

std::string Put(std::string record, int column, std::string_view text) {
  record.replace(column - 1, text.size(), text);
  return record;
}

std::string LabelRecord(std::string_view text) {
  EXPECT_LE(text.size(), 80u);
  std::string record = Ebcdic(text);
  record.resize(80, '\x40');
  return record;
}

void PrintTo(const TapeRecord& record, std::ostream* os) {
  if (record.mark) {
    *os << "mark";
  } else {
    *os << "block of " << record.data.size() << ": " << Hex(record.data);
  }
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kDigits[static_cast<unsigned char>(c) & 0xf]);
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/vaklabel-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string BinaryPath(const char* name) {
  const char* value = getenv(name);
  if (value == nullptr || value[0] == '\0') {
    ADD_FAILURE() << name << " is not set; run the tests through ctest";
    return "";
  }
  return value;
}

std::string PrivateTmpfs(const std::string& where) {
  if (unshare(CLONE_NEWNS) != 0) return std::string("no private mount namespace: ") + strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || mkdir(where.c_str(), 0755) != 0 ||
      mount("tmpfs", where.c_str(), "tmpfs", 0, "size=64k") != 0) {
    return std::string("cannot mount a tmpfs: ") + strerror(errno);
  }
  return "";
}

}  // namespace test_support
