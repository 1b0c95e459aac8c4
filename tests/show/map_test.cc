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

// HDR1, EOF1 or EOV1 (`id`) of data set `sequence`, `name`, with `count`
// blocks, first written on volume `first_volume`, as text.
std::string Label1Text(const std::string& id, int sequence, unsigned count, const std::string& name = "PAYROLL.BACKUP",
                       const std::string& first_volume = "ABC123", int volume_sequence = 1) {
  char fields[80];
  snprintf(fields, sizeof fields, "%-17s%-6.6s%04d%04d000100026121027121 %06uIBMOSVS2        %04u", name.c_str(),
           first_volume.c_str(), volume_sequence, sequence, count % 1000000, count / 1000000);
  return id + "1" + fields;
}

TapeRecord Label1(const std::string& id, int sequence, unsigned count, const std::string& name = "PAYROLL.BACKUP") {
  return Block(LabelRecord(Label1Text(id, sequence, count, name)));
}

std::string Label2Text(const std::string& id) { return id + "2F3200000080301PAYJOB  /STEP1       B"; }
TapeRecord Label2(const std::string& id) { return Block(LabelRecord(Label2Text(id))); }

// ASCII (ANSI/ISO) labels: the text's own bytes, 80 columns.
TapeRecord Ascii(const std::string& text) { return Block(test_support::Record(text)); }

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

Tape Without(Tape tape, size_t index) {
  tape.erase(tape.begin() + static_cast<std::ptrdiff_t>(index));
  return tape;
}

std::string Failures(const Json& map) {
  std::string failures;
  for (const Json& finding : map["failed_checks"])
    failures += (failures.empty() ? "" : " ") + finding["check"].get<std::string>() + ":" + finding["file"].dump();
  return failures;
}

// The map table: each row a tape, what the map makes of it from the image
// and from the drive (the same document and status), a JSON member it must
// hold and a line its text must hold.
TEST(MapTest, ImageAndDriveMapEachLayoutAlike) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::string show = VAKLABEL_SHOW;
  Tape tar = {Block(10240, 'a'), Block(10240, 'b'), Block(512, 'c'), Mark(), Block(10240, 'd'), Mark()};
  Tape continuation = {Block(LabelRecord("VOL1MULT02")),
                       Block(LabelRecord(Label1Text("HDR", 1, 0, "PAYROLL.BACKUP", "MULT01", 2))),
                       Label2("HDR"),
                       Mark(),
                       Block(800, 'x'),
                       Mark(),
                       Block(LabelRecord(Label1Text("EOF", 1, 1, "PAYROLL.BACKUP", "MULT01", 2))),
                       Label2("EOF"),
                       Mark(),
                       Mark()};
  Tape eight = {Block(LabelRecord("VOL1*UHL1*")),
                Label1("HDR", 1, 0),
                Label2("HDR"),
                Block(LabelRecord("UHL1TAPE0001")),
                Mark(),
                Mark()};
  Tape initialised = {Block(LabelRecord("VOL1INI001")), Block(LabelRecord("HDR1" + std::string(76, '0'))), Mark(),
                      Mark()};
  Tape vse = {Block(LabelRecord("VOL1ABC123")),
              Label1("HDR", 1, 0),
              Mark(),
              Block(800, 'x'),
              Mark(),
              Label1("EOF", 1, 1),
              Mark(),
              Mark()};
  std::string ascii_hdr1 = test_support::Put(Label1Text("HDR", 1, 0), 48, "030001");
  std::string ascii_eof1 = test_support::Put(Label1Text("EOF", 1, 2), 48, "030001");
  Tape ascii = {Ascii("VOL1ASC001"),
                Ascii(ascii_hdr1),
                Ascii(Label2Text("HDR")),
                Mark(),
                Block(800, 'x'),
                Block(800, 'x'),
                Mark(),
                Ascii(ascii_eof1),
                Ascii(Label2Text("EOF")),
                Mark(),
                Mark()};
  struct Case {
    const char* name;
    Tape tape;
    size_t cut;  // bytes cut off the image's end
    int status;
    const char* end;
    const char* layout;
    const char* failures;
    const char* member;  // "/json/pointer=value" the document holds, or empty
    const char* line;    // a line of the text map, or empty
  } const kCases[] = {
      {"three data sets", Join({DataSet(1, 3), DataSet(2, 0), DataSet(3, 2), {Mark()}}), 0, 0, "two_tape_marks",
       "HD3T HD0T HD2T", "", "/volume_serial=\"ABC123\"", "checks: all passed"},
      {"block count mismatch", Join({DataSet(1, 3, "EOF", 4), {Mark()}}), 0, 1, "two_tape_marks", "HD3T",
       "block_count:3", "/data_sets/0/block_count=4", ""},
      // One block count everywhere: columns 55-60 and the high-order 77-80.
      {"high-order block count", Join({DataSet(1, 3, "EOF", 1000003), {Mark()}}), 0, 1, "two_tape_marks", "HD3T",
       "block_count:3", "/data_sets/0/block_count=1000003", "  trailer  EOF1 EOF2, block count 1000003"},
      {"missing trailer", Join({DataSet(1, 2, ""), DataSet(2, 1), {Mark()}}), 0, 1, "two_tape_marks", "HD2 HD1T",
       "trailer:2", "", ""},
      {"EOF2 missing where HDR2 was written", Join({Without(DataSet(1, 1), 7), {Mark()}}), 0, 1, "two_tape_marks",
       "HD1T", "trailer:3", "", ""},
      {"z/VSE: HDR1 and EOF1 alone", vse, 0, 0, "two_tape_marks", "HD1T", "", "/data_sets/0/name=\"PAYROLL.BACKUP\"",
       "note: a z/VSE label set: VOL1 and HDR1 with no HDR2, as z/VSE may write them"},
      {"end of volume", Join({DataSet(1, 3, "EOV"), {Mark()}}), 0, 0, "two_tape_marks", "HD3V", "",
       "/data_sets/0/continues=true", ""},
      {"continuation volume", continuation, 0, 0, "two_tape_marks", "HD1T", "",
       "/data_sets/0/first_volume_serial=\"MULT01\"", "PLACEHOLDER_TAPE (image): volume MULT02"},
      {"eight-character label", eight, 0, 0, "end_of_data", "HD0", "", "/label=\"TAPE0001\"",
       "PLACEHOLDER_TAPE (image): volume *UHL1*, label TAPE0001 (eight characters, in UHL1)"},
      {"initialised volume", initialised, 0, 0, "end_of_data", "HD0", "", "/data_sets/0/initialised=true",
       "files 1-2: initialised volume, no data set written yet (VOL1 and a dummy HDR1 of zeros)"},
      {"blank tape", {}, 0, 1, "end_of_data", "", "identifiers:null", "/labelled=false", ""},
      {"unlabelled tar tape", tar, 0, 1, "end_of_data", "U3 U1", "identifiers:1 record_length:1", "", ""},
      {"truncated inside a block", Join({DataSet(1, 3), {Mark()}}), 700, 2, "unreadable", "HD2", "",
       "/checks_stopped_at_file=2",
       "checks: all passed as far as the walk went: it stopped in file 2, and what follows is unchecked"},
      {"data set spanning the end of data", WithoutLastMark(DataSet(1, 3, "")), 0, 1, "end_of_data", "HD3", "trailer:2",
       "", ""},
      {"label set only, as vaklabel writes it",
       {DataSet(1, 0, "")},
       0,
       0,
       "end_of_data",
       "HD0",
       "",
       "/data_sets/0/label_set_only=true",
       ""},
      {"trailer not repeating its header",
       Join({DataSet(1, 1, ""), {Label1("EOF", 1, 1, "PAYROLL.OTHER"), Label2("EOF"), Mark(), Mark()}}), 0, 1,
       "two_tape_marks", "HD1T", "trailer:3", "", ""},
      {"sequence gap", Join({DataSet(1, 1), DataSet(3, 1), {Mark()}}), 0, 1, "two_tape_marks", "HD1T HD1T",
       "sequence:4", "", ""},
      {"one tape mark after the trailer", DataSet(1, 1), 0, 1, "end_of_data", "HD1T", "tape_end:3",
       "/failed_checks/0/reason=\"the recorded data ends after one tape mark after the last trailer labels, where two "
       "close the tape\"",
       ""},
      {"no tape mark after the trailer", WithoutLastMark(DataSet(1, 1)), 0, 1, "end_of_data", "HD1T", "tape_end:3",
       "/failed_checks/0/reason=\"no tape mark after the trailer labels of data set 1: the recorded data ends right "
       "after them\"",
       ""},
      // The next data set keeps its number: its header labels follow the
      // trailer labels in the same file.
      {"no tape mark between trailer and header", Join({WithoutLastMark(DataSet(1, 1)), DataSet(2, 1), {Mark()}}), 0, 1,
       "two_tape_marks", "HD1T HD1T", "tape_marks:3", "/data_sets/1/files=[3,4,5]", ""},
      {"data where a header belongs", Join({DataSet(1, 1), tar}), 0, 1, "end_of_data", "HD1T U3 U1",
       "labels:4 labels:5", "", ""},
      // Judged by the same checks; a mainframe's EBCDIC label set they are not.
      {"ASCII labels", ascii, 0, 1, "two_tape_marks", "HD2T", "identifiers:1", "/data_sets/0/expires=\"2030-01-01\"",
       "  trailer  EOF1 EOF2, block count 2"},
  };
  for (const Case& c : kCases) {
    std::string bytes = test_support::EncodeAws(c.tape);
    test_support::WriteFile(image, bytes.substr(0, bytes.size() - c.cut));
    test_support::CommandResult from_image = test_support::Run({show, "--map", "--json", image});
    test_support::CommandResult from_drive = test_support::Run(
        {test_support::BinaryPath("VTAPE"), "run", image, "--", show, "--map", "--json", "/dev/nst0"});
    test_support::CommandResult text = test_support::Run({show, "--map", image});
    EXPECT_EQ(from_image.status, c.status) << c.name << from_image.err;
    EXPECT_EQ(from_drive.status, c.status) << c.name << from_drive.err;
    EXPECT_EQ(text.status, c.status) << c.name << text.err;
    Json maps[2];
    ASSERT_NO_THROW(maps[0] = Json::parse(from_image.out)) << c.name << from_image.out;
    ASSERT_NO_THROW(maps[1] = Json::parse(from_drive.out)) << c.name << from_drive.out;
    EXPECT_EQ(maps[0]["end"], c.end) << c.name;
    EXPECT_EQ(Layout(maps[0]), c.layout) << c.name;
    EXPECT_EQ(Failures(maps[0]), c.failures) << c.name << maps[0]["failed_checks"];
    if (*c.member) {
      std::string member = c.member;
      size_t equals = member.find('=');
      EXPECT_EQ(maps[0].value(Json::json_pointer(member.substr(0, equals)), Json()),
                Json::parse(member.substr(equals + 1)))
          << c.name;
    }
    std::string line = c.line;
    if (line.starts_with("PLACEHOLDER_TAPE")) line.replace(0, 16, image);
    if (!line.empty()) {
      EXPECT_NE(("\n" + text.out).find("\n" + line + "\n"), std::string::npos) << c.name << "\n" << text.out;
    }
    // A drive counts blocks without reading them, so only the image knows bytes.
    for (Json& map : maps) {
      for (const char* key : {"input", "kind", "unreadable"}) map.erase(key);
      for (Json& set : map["data_sets"])
        if (!set["data"].is_null()) set["data"].erase("bytes");
    }
    EXPECT_EQ(maps[0], maps[1]) << c.name;
  }
}

// A walk of many files holds no more than one data set at a time; the
// memory it takes is measured in bench/map.sh, the document's shape here.
TEST(MapTest, ManyDataSetsStreamIntoOneDocument) {
  test_support::TempDir dir;
  std::string image = dir.File("tape.aws");
  std::vector<Tape> parts;
  for (int i = 1; i <= 200; ++i) parts.push_back(DataSet(i, 1));
  parts.push_back({Mark()});
  test_support::WriteFile(image, test_support::EncodeAws(Join(parts)));
  test_support::CommandResult run = test_support::Run({VAKLABEL_SHOW, "--map", "--json", image});
  EXPECT_EQ(run.status, 0) << run.err;
  Json map = Json::parse(run.out);
  EXPECT_EQ(map["files"], 600);
  EXPECT_EQ(map["data_sets"].size(), 200u);
  EXPECT_EQ(map["data_sets"][199]["files"], Json::parse("[598,599,600]"));
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "one document, one line";
}

}  // namespace
