#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  std::vector<std::string> args;
  Verdict verdict;
};

const Case kCases[] = {
    {{}, Verdict::kBadCommandLine},
    {{"-r"}, Verdict::kBadCommandLine},      // no device
    {{"-f", ""}, Verdict::kBadCommandLine},  // an empty device
    {{"-f", "/dev/nst0"}, Verdict::kRead},   // read is the default mode
    {{"-q", "-r", "-f", "d"}, Verdict::kRead},
    {{"-f", "d", "-h"}, Verdict::kHelp},
    {{"-x", "-h", "-f", "d"}, Verdict::kBadCommandLine},   // getopt refuses -x before it sees -h
    {{"-f"}, Verdict::kBadCommandLine},                    // missing argument
    {{"-f", "d", "XYZ"}, Verdict::kBadCommandLine},        // a stray operand in read mode
    {{"-f", "d", "-o", "out"}, Verdict::kBadCommandLine},  // -o without -p
    {{"-f", "d", "-p", "dir", "-o", "out"}, Verdict::kRead},
    {{"-f", "d", "-p", "dir"}, Verdict::kRead},  // accepted, no effect
    {{"-f", "d", "-c", "dir"}, Verdict::kRead},
    {{"-f", "d", "-b", "-p", "dir"}, Verdict::kBadCommandLine},
    {{"-f", "d", "-t", "t", "-c", "dir"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d", "ABC123"}, Verdict::kWrite},
    {{"-w", "ABC123", "-f", "d"}, Verdict::kWrite},  // getopt permutes the operand
    {{"-w", "-f", "d", "ABCD1234"}, Verdict::kWrite},
    {{"-w", "-f", "d", "ABC1234"}, Verdict::kBadCommandLine},  // seven characters
    {{"-w", "-f", "d", "ABC12"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d", "ABC123", "XYZ789"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d", "-p", "p", "-o", "o", "ABC123"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d", "-b", "ABC123"}, Verdict::kBadCommandLine},       // -b needs -p
    {{"-w", "-f", "d", "-t", "t", "ABC123"}, Verdict::kBadCommandLine},  // -t needs -c
    {{"-w", "-f", "d", "-b", "-p", "p", "-t", "t", "-c", "c", "ABC123"}, Verdict::kWrite},
    {{"-w", "-f", "d", "-p", "p", "-c", "c", "ABC123"}, Verdict::kWrite},
    {{"-w", "-f", "d", "-r"}, Verdict::kRead},  // the last mode counts
    {{"-w", "-f", "d", "-r", "ABC123"}, Verdict::kBadCommandLine},
    {{"-f", "d", "-w", "--", "-ABCDE"}, Verdict::kWrite},  // an operand with a minus after --
    {{"-f", "d", "-w", "-ABCDE"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d",
      "\xC3\xA9"
      "ABCD"},
     Verdict::kWrite},  // six bytes, five characters
    {{"--help"}, Verdict::kLongHelp},
    {{"-f", "d", "--version"}, Verdict::kVersion},
    {{"-f", "--help"}, Verdict::kRead},            // a device named --help
    {{"-h", "--version"}, Verdict::kHelp},         // the first one counts
    {{"-x", "--help"}, Verdict::kBadCommandLine},  // getopt refuses -x first
    {{"--helpme"}, Verdict::kBadCommandLine},
    {{"-w", "-f", "d", "*UHL1*"}, Verdict::kUnreadableLabel},  // the marker as a label
    {{"-w", "-f", "d", "*UHL1*AB"}, Verdict::kWrite},
};

Verdict Parse(const std::vector<std::string>& args, Request& request) {
  std::vector<std::string> words = {"vaklabel"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStderr();  // getopt's own complaints
  Verdict verdict = ParseCommandLine(static_cast<int>(words.size()), argv.data(), request);
  testing::internal::GetCapturedStderr();
  return verdict;
}

TEST(CommandLineTest, ChecksEveryCombination) {
  for (const Case& c : kCases) {
    Request request;
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(static_cast<int>(Parse(c.args, request)), static_cast<int>(c.verdict)) << shown;
  }
}

TEST(CommandLineTest, KeepsTheLastValueAndCutsLongArguments) {
  Request request;
  std::string longPath(300, 'x');
  ASSERT_EQ(Parse({"-q", "-f", "first", "-o", "out", "-t", "tmpl", "-f", longPath, "-w", "ABCD1234", "-c", "c"},
                  request),
            Verdict::kBadCommandLine);  // -o in write mode
  EXPECT_EQ(std::string(request.filename), std::string(255, 'x'));
  EXPECT_STREQ(request.otfilename, "tmpl");
  EXPECT_EQ(request.quiet, 0);

  ASSERT_EQ(Parse({"-f", "d", "-w", "AB12  "}, request), Verdict::kWrite);
  EXPECT_STREQ(request.exlabel, "AB12  ");
  EXPECT_EQ(request.label_len, 6);
  EXPECT_EQ(request.quiet, 1);
}

}  // namespace
