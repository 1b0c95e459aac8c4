// vaklabel-show --map on tape layouts, from the image and from the drive
// holding it: the same data sets, blocks, findings and status from both.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Json = nlohmann::json;
using test_support::Block;
using test_support::LabelRecord;
using test_support::Mark;
using test_support::TapeRecord;
using Tape = std::vector<TapeRecord>;

// HDR1, EOF1 or EOV1 (`id`) of data set `sequence`, `name`, with `count` blocks.
TapeRecord Label1(const std::string& id, int sequence, unsigned count, const std::string& name = "PAYROLL.BACKUP") {
  char fields[80];
  snprintf(fields, sizeof fields, "%-17sABC1230001%04d000100026121027121 %06uIBMOSVS2        %04u", name.c_str(),
           sequence, count % 1000000, count / 1000000);
  return Block(LabelRecord(id + "1" + fields));
}

TapeRecord Label2(const std::string& id) { return Block(LabelRecord(id + "2F3200000080301PAYJOB  /STEP1       B")); }

// A data set: its header group (after VOL1 for the first), `blocks` data
// blocks and a trailer group of kind `trailer` counting `counted` blocks.
Tape DataSet(int sequence, unsigned blocks, const std::string& trailer = "EOF", int counted = -1) {
  Tape tape;
  if (sequence == 1) tape.push_back(Block(LabelRecord("VOL1ABC123")));
  tape.insert(tape.end(), {Label1("HDR", sequence, 0), Label2("HDR"), Mark()});
  for (unsigned i = 0; i < blocks; ++i) tape.push_back(Block(800, '\xF1'));
  tape.push_back(Mark());
  if (trailer.empty()) return tape;
  unsigned count = counted < 0 ? blocks : static_cast<unsigned>(counted);
  tape.insert(tape.end(), {Label1(trailer, sequence, count), Label2(trailer), Mark()});
  return tape;
}

Tape Join(std::vector<Tape> parts) {
  Tape tape;
  for (const Tape& part : parts) tape.insert(tape.end(), part.begin(), part.end());
  return tape;
}

Tape WithoutLastMark(Tape tape) {
  tape.pop_back();
  return tape;
}

// "HD3T": header, data of 3 blocks, EOF trailer (V: EOV); "U2": 2 blocks
// without labels.
std::string Layout(const Json& map) {
  std::string layout;
  for (const Json& set : map["data_sets"]) {
    if (!layout.empty()) layout += ' ';
    if (!set["labelled"]) layout += 'U';
    if (!set["header"].is_null()) layout += 'H';
    if (!set["data"].is_null()) layout += (set["labelled"] ? "D" : "") + set["data"]["blocks"].dump();
    if (!set["trailer"].is_null())
      layout += set["trailer"]["records"][0]["identifier"].get<std::string>().substr(0, 3) == "EOV" ? 'V' : 'T';
  }
  return layout;
}

std::string Failures(const Json& map) {
  std::string failures;
  for (const Json& finding : map["failed_checks"])
    failures += (failures.empty() ? "" : " ") + finding["check"].get<std::string>() + ":" + finding["file"].dump();
  return failures;
}

TEST(MapTest, ImageAndDriveMapEachLayoutAlike) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string show = VAKLABEL_SHOW;
  Tape tar = {Block(10240, 'a'), Block(10240, 'b'), Block(512, 'c'), Mark(), Block(10240, 'd'), Mark()};
  struct Case {
    const char* name;
    Tape tape;
    size_t cut;  // bytes cut off the image's end
    int status;
    const char* end;
    const char* layout;
    const char* failures;
  } const kCases[] = {
      {"three data sets", Join({DataSet(1, 3), DataSet(2, 0), DataSet(3, 2), {Mark()}}), 0, 0, "two_tape_marks",
       "HD3T HD0T HD2T", ""},
      {"block count mismatch", Join({DataSet(1, 3, "EOF", 4), {Mark()}}), 0, 1, "two_tape_marks", "HD3T",
       "block_count:3"},
      {"missing trailer", Join({DataSet(1, 2, ""), DataSet(2, 1), {Mark()}}), 0, 1, "two_tape_marks", "HD2 HD1T",
       "trailer:2"},
      {"end of volume", Join({DataSet(1, 3, "EOV"), {Mark()}}), 0, 0, "two_tape_marks", "HD3V", ""},
      {"unlabelled tar tape", tar, 0, 0, "end_of_data", "U3 U1", ""},
      {"truncated inside a block", Join({DataSet(1, 3), {Mark()}}), 700, 2, "unreadable", "HD2", ""},
      {"data set spanning the end of data", WithoutLastMark(DataSet(1, 3, "")), 0, 1,
       "end_of_data", "HD3", "trailer:2"},
      {"label set only, as vaklabel writes it", {DataSet(1, 0, "")}, 0, 0, "end_of_data", "HD0", ""},
      {"trailer not repeating its header",
       Join({DataSet(1, 1, ""), {Label1("EOF", 1, 1, "PAYROLL.OTHER"), Label2("EOF"), Mark(), Mark()}}), 0, 1,
       "two_tape_marks", "HD1T", "trailer:3"},
      {"sequence gap", Join({DataSet(1, 1), DataSet(3, 1), {Mark()}}), 0, 1, "two_tape_marks", "HD1T HD1T",
       "sequence:4"},
      {"no closing tape marks", DataSet(1, 1), 0, 1, "end_of_data", "HD1T", "tape_end:3"},
      {"data where a header belongs", Join({DataSet(1, 1), tar}), 0, 1, "end_of_data", "HD1T U3 U1",
       "labels:4 labels:5"},
  };
  for (const Case& c : kCases) {
    std::string bytes = test_support::EncodeAws(c.tape);
    test_support::WriteFile(image, bytes.substr(0, bytes.size() - c.cut));
    test_support::CommandResult from_image = test_support::Run({show, "--map", "--json", image});
    test_support::CommandResult from_drive = test_support::Run(
        {test_support::BinaryPath("VTAPE"), "run", image, "--", show, "--map", "--json", "/dev/nst0"});
    EXPECT_EQ(from_image.status, c.status) << c.name << from_image.err;
    EXPECT_EQ(from_drive.status, c.status) << c.name << from_drive.err;
    Json maps[2];
    ASSERT_NO_THROW(maps[0] = Json::parse(from_image.out)) << c.name << from_image.out;
    ASSERT_NO_THROW(maps[1] = Json::parse(from_drive.out)) << c.name << from_drive.out;
    EXPECT_EQ(maps[0]["end"], c.end) << c.name;
    EXPECT_EQ(Layout(maps[0]), c.layout) << c.name;
    EXPECT_EQ(Failures(maps[0]), c.failures) << c.name << maps[0]["failed_checks"];
    // A drive counts blocks without reading them, so only the image knows bytes.
    for (Json& map : maps) {
      for (const char* key : {"input", "kind", "unreadable"}) map.erase(key);
      for (Json& set : map["data_sets"])
        if (!set["data"].is_null()) set["data"].erase("bytes");
    }
    EXPECT_EQ(maps[0], maps[1]) << c.name;
  }
}

}  // namespace
