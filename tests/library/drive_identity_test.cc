#include "drive_identity.h"

#include <sys/sysmacros.h>

#include <gtest/gtest.h>

namespace library {
namespace {

std::vector<scsi::DriveElement> Elements(const std::vector<std::string>& serials) {
  std::vector<scsi::DriveElement> elements;
  for (size_t i = 0; i < serials.size(); ++i)
    elements.push_back({static_cast<int>(2 + i), false, serials[i], serials[i]});
  return elements;
}

// The host numbered the library's drives the other way round.
const std::vector<TapeDevice> kSwappedHost = {{"/dev/nst0", "", "SN-B", false}, {"/dev/nst1", "", "SN-A", false}};

std::string Pairs(const Pairing& pairing) {
  std::string text;
  for (const DrivePairing& d : pairing.drives) {
    static constexpr const char* kProofs[] = {"serial", "load", "unproven"};
    text += std::to_string(d.index) + "=" + (d.device.empty() ? "?" : d.device) + " " +
            kProofs[static_cast<int>(d.proof)] + ";";
  }
  return text;
}

TEST(DriveIdentity, PairsDrivesWithDevices) {
  struct Case {
    const char* name;
    std::vector<std::string> serials;  // the changer's, per drive
    std::vector<TapeDevice> host;
    std::vector<std::pair<int, std::string>> named;
    std::string pairs;
    std::string says;  // in the error, or else in the notices
  };
  const std::vector<Case> cases = {
      {"found in the host's order", {"SN-A", "SN-B"}, kSwappedHost, {}, "0=/dev/nst1 serial;1=/dev/nst0 serial;", ""},
      {"named right", {"SN-A", "SN-B"}, kSwappedHost, {{1, "/dev/nst0"}}, "1=/dev/nst0 serial;", ""},
      {"named wrong: the right device",
       {"SN-A", "SN-B"},
       kSwappedHost,
       {{0, "/dev/nst0"}, {1, "/dev/nst1"}},
       "",
       "drive 0 is not /dev/nst0: the changer reports unit serial number SN-A for it, /dev/nst0 reports SN-B; "
       "drive 0 is /dev/nst1; drive 1 is not /dev/nst1: the changer reports unit serial number SN-B for it, "
       "/dev/nst1 reports SN-A; drive 1 is /dev/nst0; give --drives 0=/dev/nst1,1=/dev/nst0, or leave --drives out"},
      {"named wrong, the right one elsewhere",
       {"SN-A", "SN-C"},
       kSwappedHost,
       {{1, "/dev/nst0"}},
       "",
       "no single tape device of this host reports SN-C"},
      {"named device does not open",
       {"SN-A"},
       {{"/dev/nst0", "Device or resource busy", "", false}},
       {{0, "/dev/nst0"}},
       "",
       "drive 0: /dev/nst0 cannot be opened: Device or resource busy"},
      {"a drive of another host",
       {"SN-A", "SN-X"},
       kSwappedHost,
       {},
       "0=/dev/nst1 serial;",
       "drive 1 (unit serial number SN-X) answers on no tape device of this host; left out"},
      {"one drive on two devices",
       {"SN-A"},
       {{"/dev/nst0", "", "SN-A", false}, {"/dev/nst3", "", "SN-A", false}},
       {},
       "",
       "answers on /dev/nst0 and /dev/nst3; name the one to use with --drives"},
      {"no identifiers: load test", {"", ""}, kSwappedHost, {}, "0=? unproven;1=? unproven;", ""},
      {"no identifiers, named", {"", ""}, kSwappedHost, {{0, "/dev/nst1"}}, "0=/dev/nst1 unproven;", ""},
      {"devices without serials: load test", {"SN-A"}, {{"/dev/nst0", "", "", false}}, {}, "0=? unproven;", ""},
      {"a device without a serial",
       {"SN-A"},
       {{"/dev/nst0", "", "", false}},
       {{0, "/dev/nst0"}},
       "0=/dev/nst0 unproven;",
       ""},
      {"no drive here", {"SN-X"}, kSwappedHost, {}, "", "no drive of the library answers on a tape device"},
      {"beyond the library",
       {"SN-A"},
       kSwappedHost,
       {{2, "/dev/nst0"}},
       "",
       "drive 2 is not in this library (1 drives, numbered from 0)"},
  };
  for (const Case& c : cases) {
    Pairing pairing = PairDrives(Elements(c.serials), c.host, c.named);
    EXPECT_EQ(Pairs(pairing), c.pairs) << c.name << ": " << pairing.error;
    std::string said = pairing.error;
    for (const std::string& line : pairing.notices) said += line;
    if (c.says.empty()) {
      EXPECT_EQ(said, "") << c.name;
    } else {
      EXPECT_NE(said.find(c.says), std::string::npos) << c.name << ": " << said;
    }
  }
}

TEST(DriveIdentity, OnlySTsNonRewindingNodes) {
  EXPECT_EQ(TapeNodeKind(true, makedev(9, 128)), TapeNode::kNonRewinding);
  EXPECT_EQ(TapeNodeKind(true, makedev(9, 128 + 5)), TapeNode::kNonRewinding);
  EXPECT_EQ(TapeNodeKind(true, makedev(9, 1)), TapeNode::kRewinding);
  EXPECT_EQ(TapeNodeKind(true, makedev(9, 256 + 1)), TapeNode::kRewinding) << "tape 33";
  EXPECT_EQ(TapeNodeKind(true, makedev(21, 128)), TapeNode::kNotTape) << "sg";
  EXPECT_EQ(TapeNodeKind(false, makedev(9, 128)), TapeNode::kNotTape);
}

TEST(DriveIdentity, ProofInWords) {
  EXPECT_EQ(ProofText({1, "/dev/nst0", "SN-B", Proof::kSerialNumber}),
            "unit serial number SN-B reported by the changer and by /dev/nst0");
  EXPECT_EQ(ProofText({1, "/dev/nst0", "", Proof::kLoadTest}),
            "a cartridge loaded into drive 1 showed on /dev/nst0 and no other device");
  nlohmann::json json = PairingsJson({{0, "", "", Proof::kUnproven}});
  EXPECT_EQ(json[0]["proof"], "unproven");
  EXPECT_TRUE(json[0]["device"].is_null());
}

}  // namespace
}  // namespace library
