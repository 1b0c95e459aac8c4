#include "scsi.h"

#include <gtest/gtest.h>

namespace library::scsi {
namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes* bytes, const std::string& text) { bytes->insert(bytes->end(), text.begin(), text.end()); }

// A data transfer element descriptor as tgt's changer answered READ ELEMENT
// STATUS with VOLTAG and DVCID on the real kernel: address, flags, the
// 36-byte volume tag, then the identification descriptor (code set 2, type
// 1: vendor 8, product 16, serial 10).
Bytes Descriptor(unsigned address, bool full, const std::string& identifier, uint8_t type = 1) {
  Bytes d{static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), full ? uint8_t{0x01} : uint8_t{0}};
  d.resize(12, 0);
  std::string tag = full ? "ABC001L8" : "";
  tag.resize(36, full ? ' ' : '\0');
  Put(&d, tag);
  d.insert(d.end(), {0x02, type, 0x00, static_cast<uint8_t>(identifier.size())});
  Put(&d, identifier);
  return d;
}

Bytes ElementStatus(const std::vector<Bytes>& descriptors) {
  size_t length = descriptors.front().size();
  size_t page = descriptors.size() * length;
  Bytes data{0x00, 0x02, 0x00, static_cast<uint8_t>(descriptors.size()),
             0x00, 0x00, 0x00, static_cast<uint8_t>(8 + page)};
  data.insert(data.end(),
              {0x04, 0x80, 0x00, static_cast<uint8_t>(length), 0x00, 0x00, 0x00, static_cast<uint8_t>(page)});
  for (const Bytes& d : descriptors) data.insert(data.end(), d.begin(), d.end());
  return data;
}

TEST(Scsi, DriveElementsWithTheirSerialNumbers) {
  struct Case {
    const char* name;
    std::vector<Bytes> descriptors;
    std::vector<std::string> serials;
  };
  const std::string beaf11("IET     VIRTUAL-TAPE    beaf11\0\0\0\0", 34);
  const std::vector<Case> cases = {
      {"tgt, one full",
       {Descriptor(2, true, beaf11), Descriptor(3, false, "IET     VIRTUAL-TAPE    beaf12    ")},
       {"beaf11", "beaf12"}},
      {"addresses out of order",
       {Descriptor(5, false, beaf11), Descriptor(3, false, beaf11.substr(0, 29) + "9    ")},
       {"beaf19", "beaf11"}},
      {"vendor-specific type: the serial alone", {Descriptor(2, false, " 1013000123", 0)}, {"1013000123"}},
      {"no identifier", {Descriptor(2, false, "")}, {""}},
  };
  for (const Case& c : cases) {
    std::string error;
    auto drives = ParseDriveElements(ElementStatus(c.descriptors), &error);
    ASSERT_TRUE(drives) << c.name << ": " << error;
    std::vector<std::string> serials;
    for (const DriveElement& drive : *drives) serials.push_back(drive.serial);
    EXPECT_EQ(serials, c.serials) << c.name;
  }
  std::string error;
  auto drives = ParseDriveElements(ElementStatus({Descriptor(2, true, beaf11), Descriptor(3, false, beaf11)}), &error);
  ASSERT_TRUE(drives);
  EXPECT_TRUE((*drives)[0].full);
  EXPECT_FALSE((*drives)[1].full);
  EXPECT_EQ((*drives)[1].address, 3);
  EXPECT_EQ((*drives)[0].identifier, "IET     VIRTUAL-TAPE    beaf11");
}

TEST(Scsi, TruncatedOrBrokenElementStatus) {
  std::string error;
  EXPECT_FALSE(ParseDriveElements(Bytes{0, 2, 0}, &error));
  Bytes broken = ElementStatus({Descriptor(2, false, "x")});
  broken[11] = 4;  // descriptors shorter than their fixed part
  EXPECT_FALSE(ParseDriveElements(broken, &error));
  EXPECT_NE(error.find("4 bytes"), std::string::npos);
  // An answer cut short by the allocation length keeps the whole descriptors.
  Bytes cut = ElementStatus(
      {Descriptor(2, false, "IET     VIRTUAL-TAPE    beaf11"), Descriptor(3, false, "IET     VIRTUAL-TAPE    beaf12")});
  cut.resize(cut.size() - 3);
  auto drives = ParseDriveElements(cut, &error);
  ASSERT_TRUE(drives) << error;
  EXPECT_EQ(drives->size(), 1u);
}

TEST(Scsi, CommandsAsSgRawSendsThem) {
  // sg_raw -r 512 /dev/sgN b8 14 00 00 00 08 01 00 02 00 00 00
  EXPECT_EQ(ReadDriveElementsCommand(8, 512), (Bytes{0xB8, 0x14, 0, 0, 0, 8, 1, 0, 2, 0, 0, 0}));
  EXPECT_EQ(UnitSerialCommand(255), (Bytes{0x12, 0x01, 0x80, 0, 255, 0}));
}

TEST(Scsi, UnitSerialPage) {
  Bytes page{0x01, 0x80, 0x00, 0x0A};
  Put(&page, "  beaf11  ");
  EXPECT_EQ(UnitSerialFromPage(page), "beaf11");
  EXPECT_EQ(UnitSerialFromPage(Bytes{0x01, 0x80, 0x00, 0x00}), "");
  EXPECT_EQ(UnitSerialFromPage(Bytes{0x01, 0x83, 0x00, 0x01, 'x'}), "") << "another page";
  page[3] = 0x40;  // a length beyond what arrived
  EXPECT_EQ(UnitSerialFromPage(page), "beaf11");
}

TEST(Scsi, SenseData) {
  Bytes fixed(18, 0);
  fixed[0] = 0x70;
  fixed[2] = 0x05;
  fixed[12] = 0x3B;
  fixed[13] = 0x0E;
  auto sense = ParseSense(fixed);
  ASSERT_TRUE(sense);
  EXPECT_EQ(SenseText(*sense), "ILLEGAL REQUEST, 3B/0E medium source element empty");
  sense = ParseSense(Bytes{0x72, 0x04, 0x15, 0x01});
  ASSERT_TRUE(sense);
  EXPECT_EQ(SenseText(*sense), "HARDWARE ERROR, 15/01 mechanical positioning error");
  EXPECT_EQ(SenseText({0x02, 0x99, 0x00}), "NOT READY, 99/00");
  EXPECT_FALSE(ParseSense(Bytes{}));
  EXPECT_FALSE(ParseSense(Bytes{0x70, 0, 5}));
}

}  // namespace
}  // namespace library::scsi
