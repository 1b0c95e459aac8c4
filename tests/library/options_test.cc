#include "options.h"

#include <gtest/gtest.h>

namespace library {
namespace {

ParsedCommandLine Parse(std::vector<const char*> args, const std::string& env_changer = "") {
  args.insert(args.begin(), "vaklabel-library");
  return ParseOptions(static_cast<int>(args.size()), args.data(), env_changer, "/usr/share/vaklabel/standard.lbl");
}

TEST(Options, InventoryDefaults) {
  ParsedCommandLine parsed = Parse({"inventory"}, "/dev/sch0");
  ASSERT_TRUE(parsed.options) << parsed.err;
  EXPECT_FALSE(parsed.options->label);
  EXPECT_EQ(parsed.options->changer, "/dev/sch0");
  EXPECT_EQ(parsed.options->lock_file, "") << "the changer's own, once it answers";
  EXPECT_TRUE(parsed.options->plan.slots.empty());
  EXPECT_EQ(parsed.options->plan.source, LabelSource::kNone);
  EXPECT_EQ(Parse({"inventory"}).options->changer, "/dev/changer");
}

TEST(Options, LabelWithSlotsAndPoliciesAfterTheSubcommand) {
  ParsedCommandLine parsed = Parse({"label", "1-3,9", "12", "--serial", "TAP001", "--relabel", "--json",
                                    "--changer", "/dev/sch1", "--drives", "/dev/nst2,/dev/nst3"});
  ASSERT_TRUE(parsed.options) << parsed.err;
  const Options& o = *parsed.options;
  EXPECT_TRUE(o.label);
  EXPECT_TRUE(o.relabel);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.plan.slots, (std::vector<int>{1, 2, 3, 9, 12}));
  EXPECT_EQ(o.plan.source, LabelSource::kSerial);
  EXPECT_EQ(o.changer, "/dev/sch1");
  EXPECT_EQ(o.drives, (std::vector<std::pair<int, std::string>>{{0, "/dev/nst2"}, {1, "/dev/nst3"}}));
  EXPECT_EQ(Parse({"label"}).options->plan.source, LabelSource::kBarcode);
  EXPECT_EQ(Parse({"label", "--barcode-six"}).options->plan.source, LabelSource::kBarcodeSix);
}

TEST(Options, BadCommandLinesCannotRun) {
  struct Case {
    std::vector<const char*> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{}, "vaklabel-library: missing subcommand: inventory or label\n"},
      {{"invent"}, "vaklabel-library: invent: not a subcommand (inventory or label)\n"},
      {{"label", "--serial", "TAP001", "--barcode-six"}, "excludes"},
      {{"label", "--serial", "TAPE1"}, "six- or eight"},
      {{"inventory", "5-2"}, "bad slot list"},
      {{"inventory", "--relabel"}, "vaklabel-library: --relabel: no such option here\n"},
      {{"inventory", "--drives", "0=/dev/nst0,0=/dev/nst1"}, "named twice"},
      {{"inventory", "--drives", "x=/dev/nst0"}, "bad drive number"},
      {{"label", "--expired-by", "2026-13-01"},
       "vaklabel-library: --expired-by: '2026-13-01' is no day of the calendar\n"},
      {{"label", "--expired-by", "tomorrow"}, "vaklabel-library: --expired-by: 'tomorrow' is not a date of the form"},
      {{"label", "--expired-by", "2027-01-01", "--ignore-expiration"}, "excludes"},
      {{"inventory", "--audit", "3"}, "requires --from-history"},
      {{"inventory", "--from-history", "--audit", "some"}, "vaklabel-library: --audit: not a number or all\n"},
      {{"inventory", "--from-history", "--audit", "2", "--no-mount"}, "excludes"},
      {{"inventory", "--from-history", "--max-age", "-1"}, "--max-age"},
  };
  for (const Case& c : cases) {
    ParsedCommandLine parsed = Parse(c.args);
    EXPECT_FALSE(parsed.options);
    EXPECT_EQ(parsed.exit_status, kExitCannotRun);
    EXPECT_NE(parsed.err.find(c.says), std::string::npos) << parsed.err;
    EXPECT_TRUE(parsed.err.starts_with("vaklabel-library: ")) << parsed.err;
  }
}

TEST(Options, VersionAndHelpSucceed) {
  ParsedCommandLine parsed = Parse({"--version"});
  EXPECT_EQ(parsed.exit_status, kExitDone);
  EXPECT_EQ(parsed.out, std::string("vaklabel-library (vaklabel) ") + VAKLABEL_VERSION + "\n");
  parsed = Parse({"label", "--help"});
  EXPECT_EQ(parsed.exit_status, kExitDone);
  EXPECT_NE(parsed.out.find("--relabel"), std::string::npos);
}

TEST(Options, DriveMapping) {
  std::string error;
  auto drives = ParseDriveList("1=/dev/nst3,/dev/nst4", &error);
  ASSERT_TRUE(drives) << error;
  EXPECT_EQ(*drives, (std::vector<std::pair<int, std::string>>{{1, "/dev/nst3"}, {2, "/dev/nst4"}}));
  EXPECT_FALSE(ParseDriveList("/dev/nst0,", &error));
}

}  // namespace
}  // namespace library
