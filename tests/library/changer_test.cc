#include "changer.h"

#include <gtest/gtest.h>

namespace library {
namespace {

// As mtx prints it, trailing blanks of the volume tags included.
constexpr const char* kStatus =
    "  Storage Changer /dev/sg3:2 Drives, 6 Slots ( 1 Import/Export )\n"
    "Data Transfer Element 0:Empty\n"
    "Data Transfer Element 1:Full (Storage Element 2 Loaded):VolumeTag = ABC002L8                        \n"
    "      Storage Element 1:Full :VolumeTag=ABC001L8                        \n"
    "      Storage Element 2:Empty\n"
    "      Storage Element 3:Full \n"
    "      Storage Element 4:Full :VolumeTag=CLN001L1                        \n"
    "      Storage Element 5:Empty:VolumeTag=\n"
    "      Storage Element 6 IMPORT/EXPORT:Full :VolumeTag=MAIL01L8\n";

TEST(MtxStatus, DrivesSlotsAndBarcodes) {
  std::string error;
  auto status = ParseMtxStatus(kStatus, &error);
  ASSERT_TRUE(status) << error;
  ASSERT_EQ(status->drives.size(), 2u);
  EXPECT_FALSE(status->drives[0].full);
  EXPECT_FALSE(status->drives[0].source_slot);
  EXPECT_TRUE(status->drives[1].full);
  EXPECT_EQ(status->drives[1].barcode, "ABC002L8");
  EXPECT_EQ(status->drives[1].source_slot, 2);

  ASSERT_EQ(status->slots.size(), 5u);
  struct Want {
    int number;
    bool full;
    const char* barcode;
  };
  const Want want[] = {{1, true, "ABC001L8"}, {2, false, ""}, {3, true, ""}, {4, true, "CLN001L1"}, {5, false, ""}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(status->slots[i].number, want[i].number);
    EXPECT_EQ(status->slots[i].full, want[i].full) << want[i].number;
    EXPECT_EQ(status->slots[i].barcode, want[i].barcode) << want[i].number;
  }
  ASSERT_EQ(status->mail_slots.size(), 1u);
  EXPECT_EQ(status->mail_slots[0].barcode, "MAIL01L8");
}

TEST(MtxStatus, UnknownSourceSlot) {
  std::string error;
  auto status = ParseMtxStatus(
      "  Storage Changer /dev/sg1:1 Drives, 1 Slots ( 0 Import/Export )\n"
      "Data Transfer Element 0:Full (Unknown Storage Element Loaded):VolumeTag = XYZ001L8\n"
      "      Storage Element 1:Empty\n",
      &error);
  ASSERT_TRUE(status) << error;
  EXPECT_TRUE(status->drives[0].full);
  EXPECT_FALSE(status->drives[0].source_slot);
  EXPECT_EQ(status->drives[0].barcode, "XYZ001L8");
}

TEST(MtxStatus, RefusesWhatIsNoChangerListing) {
  std::string error;
  EXPECT_FALSE(ParseMtxStatus("", &error));
  EXPECT_FALSE(ParseMtxStatus("mtx: Request Sense: Sense Key=Not Ready\n", &error));
  EXPECT_FALSE(ParseMtxStatus("  Storage Changer /dev/sg1:0 Drives, 1 Slots ( 0 Import/Export )\n"
                              "      Storage Element 1:Empty\n",
                              &error));
  EXPECT_NE(error.find("drives"), std::string::npos);
}

TEST(MtxReason, TheReasonOnStandardErrorWithTheSense) {
  struct Case {
    ProcessResult run;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {{true, 1, "", "cannot open SCSI device '/dev/sch9' - No such file or directory\n"},
       "cannot open SCSI device '/dev/sch9' - No such file or directory"},
      {{true, 1, "Loading media from Storage Element 3 into drive 1...",
        "mtx: Request Sense: Long Report=yes\nmtx: Request Sense: Sense Key=Hardware Error\n"
        "mtx: Request Sense: Additional Sense Code = 15\nmtx: Request Sense: Additional Sense Qualifier = 01\n"
        "mtx: Request Sense: BPV=no\nMOVE MEDIUM from Element Address 1002 to 3 Failed\n"},
       "MOVE MEDIUM from Element Address 1002 to 3 Failed (sense: Hardware Error, 15/01 mechanical positioning error)"},
      {{true, 1, "Loading media from Storage Element 1 into drive 1...", "Source Element Address 1000 is Empty\n"},
       "Source Element Address 1000 is Empty"},
      {{true, 1, "Loading media from Storage Element 1 into drive 1...", ""}, "exited with status 1 and said nothing"},
      {{true, 137, "", ""}, "ended by signal 9"},
  };
  for (const Case& c : cases) EXPECT_EQ(MtxReason(c.run), c.reason);
}

}  // namespace
}  // namespace library
