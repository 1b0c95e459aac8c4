// The medium changer's commands and the library state file, as pure
// functions: CDB bytes in, data bytes and sense out.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library/smc.h"
#include "library/state.h"

// Where every cartridge is: the slots' barcodes, "|", the drives' ("-" for
// an empty place). The library tests use it too.
std::string Where(const vtape::library::State& s) {
  std::string out;
  for (int i = 0; i < s.slot_count; ++i) out += std::string(s.slots[i].barcode[0] ? s.slots[i].barcode : "-") + " ";
  out += "|";
  for (int i = 0; i < s.drive_count; ++i) {
    out += std::string(" ") + (s.drives[i].tape.barcode[0] ? s.drives[i].tape.barcode : "-");
  }
  return out;
}

namespace {

using vtape::library::Execute;
using vtape::library::Faults;
using vtape::library::Reply;
using vtape::library::State;

using Bytes = std::vector<uint8_t>;

// A library of `slots` slots and `drives` drives, "-" marking empty places.
State MakeState(std::vector<std::string> slots, std::vector<std::string> drives) {
  State s{};
  s.slot_count = static_cast<int>(slots.size());
  s.drive_count = static_cast<int>(drives.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] != "-") strcpy(s.slots[i].barcode, slots[i].c_str());
  }
  for (size_t i = 0; i < drives.size(); ++i) {
    s.drives[i].source = -1;
    s.drives[i].device = static_cast<int>(i);
    vtape::FormatSerial(0xAB, static_cast<int>(i), s.drives[i].serial);
    if (drives[i] != "-") strcpy(s.drives[i].tape.barcode, drives[i].c_str());
  }
  return s;
}

struct Outcome {
  Reply reply;
  Bytes data;
};

Outcome Send(State* s, Bytes cdb, size_t cap = 4096, Faults faults = {}) {
  Bytes data(cap);
  Reply r = Execute(s, faults, cdb.data(), cdb.size(), data.data(), data.size());
  data.resize(r.length);
  return {r, data};
}

Bytes Move(unsigned from, unsigned to) {
  return {0xA5, 0, 0, 1, uint8_t(from >> 8), uint8_t(from), uint8_t(to >> 8), uint8_t(to), 0, 0, 0, 0};
}

Bytes ReadStatus(unsigned type, bool voltag, unsigned start, unsigned count, unsigned allocation, bool dvcid = false) {
  return {0xB8,
          uint8_t((voltag ? 0x10 : 0) | type),
          uint8_t(start >> 8),
          uint8_t(start),
          uint8_t(count >> 8),
          uint8_t(count),
          uint8_t(dvcid ? 1 : 0),
          uint8_t(allocation >> 16),
          uint8_t(allocation >> 8),
          uint8_t(allocation),
          0,
          0};
}

TEST(ChangerState, FormatsAndParsesBack) {
  State s = MakeState({"ABC001L8", "-", "ABC003L8"}, {"ABC002L8", "-"});
  s.drives[0].source = 1;
  s.drives[1].locked = true;
  s.drives[0].device = 1;
  s.drives[1].device = 0;
  char text[4096];
  size_t n = vtape::library::FormatState(s, text, sizeof text);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(text, n),
            "vtape-library 2 slots 3 drives 2 prevent 0\n"
            "slot 1 ABC001L8\nslot 2 -\nslot 3 ABC003L8\n"
            "drive 0 ABC002L8 source 2 locked 0 device 1 serial VT0000AB00\n"
            "drive 1 - source 0 locked 1 device 0 serial VT0000AB01\n");
  State back;
  ASSERT_TRUE(vtape::library::ParseState(text, &back));
  EXPECT_EQ(Where(back), Where(s));
  EXPECT_EQ(back.drives[0].source, 1);
  EXPECT_TRUE(back.drives[1].locked);
  EXPECT_EQ(back.drives[0].device, 1);
  EXPECT_STREQ(back.drives[1].serial, "VT0000AB01");
  // A library from before drives had identities: drive I is /dev/nstI.
  ASSERT_TRUE(
      vtape::library::ParseState("vtape-library 1 slots 1 drives 2 prevent 0\nslot 1 -\n"
                                 "drive 0 - source 0 locked 0\ndrive 1 - source 0 locked 0\n",
                                 &back));
  EXPECT_EQ(back.drives[1].device, 1);
  EXPECT_STREQ(back.drives[1].serial, "VT00000001");
}

TEST(ChangerState, RefusesDamagedState) {
  const char* header = "vtape-library 1 slots 2 drives 1 prevent 0\n";
  const char* drives = "vtape-library 2 slots 1 drives 2 prevent 0\nslot 1 -\n";
  for (const char* body : {
           "drive 0 - source 0 locked 0 device 1 serial VT00000000\n"
           "drive 1 - source 0 locked 0 device 1 serial VT00000001\n",  // one device twice
           "drive 0 - source 0 locked 0 device 0 serial VT00000000\n"
           "drive 1 - source 0 locked 0 device 1 serial VT00000000\n",  // one serial twice
           "drive 0 - source 0 locked 0 device 0 serial VT0000000\n"
           "drive 1 - source 0 locked 0 device 1 serial VT00000001\n",    // a serial of 9 characters
           "drive 0 - source 0 locked 0\ndrive 1 - source 0 locked 0\n",  // identities missing
       }) {
    State s;
    EXPECT_FALSE(vtape::library::ParseState((std::string(drives) + body).c_str(), &s)) << body;
  }
  for (const char* body : {
           "slot 1 A\nslot 2 A\ndrive 0 - source 0 locked 0\n",         // a cartridge in two places
           "slot 1 A\nslot 2 -\ndrive 0 A source 0 locked 0\n",         // in a slot and a drive
           "slot 1 A\nslot 2 -\n",                                      // a drive missing
           "slot 1 abc\nslot 2 -\ndrive 0 - source 0 locked 0\n",       // not a barcode
           "slot 1 ABCDEFGHIJK\nslot 2 -\ndrive 0 - source 0 locked 0\n",  // 11 characters
           "slot 2 A\nslot 1 -\ndrive 0 - source 0 locked 0\n",         // out of order
           "slot 1 A\nslot 2 -\ndrive 0 - source 3 locked 0\n",         // no such source slot
           "slot 1 A\nslot 2 -\ndrive 0 - source 0 locked 0\nextra\n",  // trailing text
       }) {
    State s;
    EXPECT_FALSE(vtape::library::ParseState((std::string(header) + body).c_str(), &s)) << body;
  }
}

// Each refused move leaves the library as it was.
struct MoveCase {
  const char* name;
  unsigned from, to;
  uint8_t key, asc, ascq;
};

TEST(ChangerMove, RefusesAsAChangerDoes) {
  const MoveCase cases[] = {
      {"SourceEmpty", 1001, 2, 0x05, 0x3B, 0x0E},
      {"DestinationFull", 1000, 1002, 0x05, 0x3B, 0x0D},
      {"DriveFull", 1000, 3, 0x05, 0x3B, 0x0D},
      {"NoSuchSlot", 1003, 2, 0x05, 0x21, 0x01},
      {"NoSuchDrive", 1000, 4, 0x05, 0x21, 0x01},
      {"GapBetweenDrivesAndSlots", 999, 2, 0x05, 0x21, 0x01},
      {"PickerIsNoDestination", 1000, 1, 0x05, 0x21, 0x01},
      {"PickerHoldsNothing", 1, 2, 0x05, 0x3B, 0x0E},
      {"LockedDrive", 3, 1001, 0x05, 0x53, 0x02},
  };
  for (const MoveCase& c : cases) {
    State s = MakeState({"A", "-", "C"}, {"-", "D"});
    s.drives[1].locked = true;
    std::string before = Where(s);
    Outcome o = Send(&s, Move(c.from, c.to));
    EXPECT_FALSE(o.reply.good) << c.name;
    EXPECT_EQ((std::vector<int>{o.reply.sense.key, o.reply.sense.asc, o.reply.sense.ascq}),
              (std::vector<int>{c.key, c.asc, c.ascq}))
        << c.name;
    EXPECT_FALSE(o.reply.changed) << c.name;
    EXPECT_EQ(Where(s), before) << c.name;
  }
}

TEST(ChangerMove, HardwareFaultsLeaveTheCartridgeWhereItWas) {
  State s = MakeState({"A", "B"}, {"-", "-"});
  Faults stuck{nullptr, "X,B", 0};
  Outcome o = Send(&s, Move(1001, 2), 64, stuck);
  EXPECT_EQ((std::vector<int>{o.reply.sense.key, o.reply.sense.asc, o.reply.sense.ascq}),
            (std::vector<int>{0x04, 0x15, 0x01}));
  Faults drive1{nullptr, nullptr, 0x2};
  o = Send(&s, Move(1000, 3), 64, drive1);
  EXPECT_EQ((std::vector<int>{o.reply.sense.key, o.reply.sense.asc, o.reply.sense.ascq}),
            (std::vector<int>{0x04, 0x15, 0x01}));
  EXPECT_EQ(Where(s), "A B | - -");
  EXPECT_TRUE(Send(&s, Move(1000, 2), 64, drive1).reply.good);
}

TEST(ChangerMove, LoadTransferAndUnloadKeepTheSourceSlot) {
  State s = MakeState({"A", "B"}, {"-", "-"});
  Outcome o = Send(&s, Move(1001, 2));
  ASSERT_TRUE(o.reply.good);
  EXPECT_TRUE(o.reply.changed && o.reply.moved);
  EXPECT_EQ(Where(s), "A - | B -");
  EXPECT_EQ(s.drives[0].source, 1);
  ASSERT_TRUE(Send(&s, Move(2, 3)).reply.good);
  EXPECT_EQ(s.drives[1].source, 1);
  EXPECT_EQ(s.drives[0].source, -1);
  ASSERT_TRUE(Send(&s, Move(3, 1001)).reply.good);
  EXPECT_EQ(Where(s), "A B | - -");
  EXPECT_EQ(s.drives[1].source, -1);
}

// A whole report, spelled out: picker, one drive loaded from slot 2, two
// slots, with volume tags.
TEST(ChangerReadElementStatus, AllTypesWithVolumeTags) {
  State s = MakeState({"A1", "-"}, {"B2"});
  s.drives[0].source = 1;
  Outcome o = Send(&s, ReadStatus(0, true, 0, 100, 4096));
  ASSERT_TRUE(o.reply.good);
  auto tag = [](const char* text) {
    Bytes b(36, 0);
    for (size_t i = 0; i < 32; ++i) b[i] = i < strlen(text) ? uint8_t(text[i]) : ' ';
    return b;
  };
  // Descriptors of 52 bytes: 12, the 36-byte volume tag and an empty
  // device identifier's 4-byte header.
  Bytes want = {0, 1, 0, 4, 0, 0, 0, 3 * 8 + 4 * 52};
  auto page = [&](uint8_t type, unsigned count) {
    Bytes p = {type, 0x80, 0, 52, 0, 0, 0, uint8_t(count * 52)};
    want.insert(want.end(), p.begin(), p.end());
  };
  auto descriptor = [&](unsigned address, uint8_t flags, uint8_t svalid, unsigned source, Bytes voltag) {
    Bytes d = {uint8_t(address >> 8), uint8_t(address), flags, 0, 0, 0, 0, 0, 0, svalid, uint8_t(source >> 8),
               uint8_t(source)};
    d.insert(d.end(), voltag.begin(), voltag.end());
    d.insert(d.end(), 4, 0);
    want.insert(want.end(), d.begin(), d.end());
  };
  page(1, 1);
  descriptor(1, 0x00, 0, 0, tag(""));
  page(4, 1);
  descriptor(2, 0x09, 0x80, 1001, tag("B2"));
  page(2, 2);
  descriptor(1000, 0x09, 0, 0, tag("A1"));
  descriptor(1001, 0x08, 0, 0, tag(""));
  EXPECT_EQ(o.data, want);
}

// With DVCID each drive names itself after its volume tag: code set ASCII,
// T10 vendor identification, 34 bytes of vendor, product and serial. Every
// descriptor has the room, as on the changer target; a slot leaves it zero.
TEST(ChangerReadElementStatus, DeviceIdentifiersOfTheDrives) {
  State s = MakeState({"A1"}, {"-", "-"});
  s.drives[1].device = 0;
  s.drives[0].device = 1;
  Outcome o = Send(&s, ReadStatus(4, true, 0, 10, 4096, true));
  ASSERT_TRUE(o.reply.good);
  Bytes want = {0, 2, 0, 2, 0, 0, 0, 8 + 2 * 86, 4, 0x80, 0, 86, 0, 0, 0, 2 * 86};
  for (unsigned drive = 0; drive < 2; ++drive) {
    Bytes d = {0, uint8_t(2 + drive), 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    d.insert(d.end(), 32, ' ');
    d.insert(d.end(), {0, 0, 0, 0, 2, 1, 0, 34});
    std::string id = "VTAPE   VIRTUAL-TAPE    VT0000AB0" + std::to_string(drive);
    d.insert(d.end(), id.begin(), id.end());
    want.insert(want.end(), d.begin(), d.end());
  }
  EXPECT_EQ(o.data, want);
  o = Send(&s, ReadStatus(2, false, 0, 10, 4096, true));
  ASSERT_TRUE(o.reply.good);
  EXPECT_EQ(o.data.size(), 8u + 8 + 50);
  EXPECT_EQ(Bytes(o.data.begin() + 16 + 12, o.data.end()), Bytes(38, 0));
}

TEST(ChangerReadElementStatus, SelectsTruncatesAndRefuses) {
  State s = MakeState({"A1", "-", "C3"}, {"-", "-"});
  // Slots only, from the second, no tags: 16-byte descriptors.
  Outcome o = Send(&s, ReadStatus(2, false, 1001, 10, 4096));
  ASSERT_TRUE(o.reply.good);
  EXPECT_EQ(o.data.size(), 8u + 8 + 2 * 16);
  EXPECT_EQ(o.data[3], 2);  // elements
  EXPECT_EQ(o.data[8], 2);  // storage type
  EXPECT_EQ(o.data[11], 16);
  EXPECT_EQ(o.data[16 + 16 + 2], 0x09);  // slot 3 full
  // An allocation of 8 bytes: the header alone, telling the full size.
  o = Send(&s, ReadStatus(0, true, 0, 100, 8));
  ASSERT_TRUE(o.reply.good);
  // 3 pages and 6 descriptors of 52 bytes: 0x150 bytes.
  EXPECT_EQ(o.data, (Bytes{0, 1, 0, 6, 0, 0, 1, 0x50}));
  // Nothing at or above the start: the end of the elements.
  o = Send(&s, ReadStatus(0, true, 1003, 10, 4096));
  EXPECT_FALSE(o.reply.good);
  EXPECT_EQ(o.reply.sense.asc, 0x21);
  // An unreadable label: full, but no tag.
  o = Send(&s, ReadStatus(2, true, 1000, 1, 4096), 4096, Faults{"A1", nullptr, 0});
  ASSERT_TRUE(o.reply.good);
  EXPECT_EQ(o.data[16 + 2], 0x09);
  EXPECT_EQ(Bytes(o.data.begin() + 16 + 12, o.data.end()), Bytes(40, 0));
}

TEST(ChangerCommands, InquiryModeSenseAndTheRest) {
  State s = MakeState({"A", "-", "-"}, {"-", "-"});
  Outcome o = Send(&s, {0x12, 0, 0, 0, 96, 0});
  ASSERT_TRUE(o.reply.good);
  ASSERT_EQ(o.data.size(), 36u);
  EXPECT_EQ(o.data[0], 0x08);  // medium changer
  EXPECT_EQ(std::string(o.data.begin() + 16, o.data.begin() + 32), "VIRTUAL-CHANGER ");
  o = Send(&s, {0x12, 1, 0x00, 0, 96, 0});
  EXPECT_EQ(o.data, (Bytes{0x08, 0x00, 0, 2, 0x00, 0x80})) << "supported pages";
  o = Send(&s, {0x12, 1, 0x80, 0, 96, 0});
  EXPECT_EQ(std::string(o.data.begin() + 4, o.data.end()), "VT0000ABCH") << "unit serial, fixed with the library";

  o = Send(&s, {0x1A, 0x08, 0x1D, 0, 136, 0});
  ASSERT_TRUE(o.reply.good);
  EXPECT_EQ(o.data, (Bytes{23, 0, 0, 0, 0x1D, 0x12, 0, 1, 0, 1, 0x03, 0xE8, 0, 3, 0, 0, 0, 0, 0, 2, 0, 2, 0, 0}));

  EXPECT_TRUE(Send(&s, {0x00, 0, 0, 0, 0, 0}).reply.good);
  EXPECT_TRUE(Send(&s, {0x07, 0, 0, 0, 0, 0}).reply.good);
  o = Send(&s, {0x1E, 0, 0, 0, 1, 0});
  EXPECT_TRUE(o.reply.good && o.reply.changed && s.prevent_removal);
  o = Send(&s, {0x03, 0, 0, 0, 18, 0});
  ASSERT_EQ(o.data.size(), 18u);
  EXPECT_EQ(o.data[0], 0x70);
  EXPECT_EQ(o.data[2], 0x00);
  o = Send(&s, {0xA6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // EXCHANGE MEDIUM
  EXPECT_EQ((std::vector<int>{o.reply.sense.key, o.reply.sense.asc}), (std::vector<int>{0x05, 0x20}));
  o = Send(&s, {0x1A, 0x08, 0x1C, 0, 136, 0});  // another page
  EXPECT_EQ((std::vector<int>{o.reply.sense.key, o.reply.sense.asc}), (std::vector<int>{0x05, 0x24}));
}

}  // namespace
