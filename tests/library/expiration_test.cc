#include "expiration.h"

#include <gtest/gtest.h>

#include "tape_contents.h"

namespace library {
namespace {

TEST(Expiration, KeptUntil) {
  const ExpirationRule today;
  const ExpirationRule ignore{true, ""};
  const ExpirationRule by{false, "2027-05-02"};
  struct Case {
    const char* field;
    const ExpirationRule& rule;
    const char* kept;
  };
  const Case cases[] = {
      {"026342", today, "expires 2026-12-08"},  // not passed on its own day
      {"026341", today, ""},
      {"127001", today, "expires 2127-01-01"},
      {" 99365", today, "never expires (99365)"},
      {" 99366", by, "never expires (99366)"},
      {" 98000", by, "kept under tape management control (98000)"},
      {" 98030", by, "kept under tape management control (98030)"},
      {" 99000", today, "kept under tape management control (99000)"},
      {" 97001", today, ""},
      {"000000", today, ""},
      {" 00000", today, ""},
      {"      ", today, ""},
      {"027121", by, ""},
      {"027122", by, "expires 2027-05-02"},
      {" 99365", ignore, ""},
      {"X27121", today, "expiration date (X27121) cannot be read: century digit 'X' is none of blank, 0 and 1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KeptUntil(c.field, c.rule, "2026-12-08"), c.kept) << "'" << c.field << "'";
    // A row that overwrites the data set words its date as a refusal does.
    if (*c.kept) {
      EXPECT_EQ(DateCodeText(c.field), c.kept) << "'" << c.field << "'";
    }
  }
}

TEST(Expiration, ParseDay) {
  std::string error;
  EXPECT_EQ(ParseDay("2028-02-29", &error), "2028-02-29");
  EXPECT_FALSE(ParseDay("2027-02-29", &error));
  EXPECT_EQ(error, "'2027-02-29' is no day of the calendar");
  EXPECT_FALSE(ParseDay("27-05-01", &error));
  EXPECT_EQ(error, "'27-05-01' is not a date of the form YYYY-MM-DD");
  EXPECT_EQ(Today().size(), 10u);
}

TEST(TapeContents, FromMapDocument) {
  struct Case {
    const char* document;
    const char* error;  // "" when mapped
    size_t with_data;
  };
  const Case cases[] = {
      {"not json", "no map document", 0},
      {R"({"input": "/dev/nst0", "error": "open: Device or resource busy"})", "open: Device or resource busy", 0},
      {R"({"files": 0})", "the map lists no data sets", 0},
      {R"({"files": 2, "end": "two_tape_marks", "data_sets": [
          {"files": [1], "name": "A", "label_set_only": true, "data": null},
          {"files": [2], "name": null, "data": {"blocks": 0}}]})",
       "", 0},
      {R"({"files": 4, "end": "unreadable", "unreadable": "file 4: read: EIO", "data_sets": [
          {"files": [1, 2, 3], "name": "A", "expiration_value": "099365", "data": {"blocks": 1204}},
          {"files": [4], "name": null, "data": {"blocks": 7}}]})",
       "", 2},
  };
  for (const Case& c : cases) {
    TapeContents contents = ContentsFromMap(c.document);
    EXPECT_EQ(contents.error, c.error) << c.document;
    EXPECT_EQ(contents.mapped, std::string(c.error).empty()) << c.document;
    EXPECT_EQ(contents.with_data.size(), c.with_data) << c.document;
  }
  TapeContents last = ContentsFromMap(cases[4].document);
  EXPECT_EQ(last.unreadable, "file 4: read: EIO");
  EXPECT_EQ(DestroyedDataSets(last.with_data),
            "1 data set and 1 unlabelled file, 1,211 blocks: A, expires 2099-12-31; file 4");

  // A thousand data sets make a row of a few names, not of all of them.
  std::vector<DataSetFound> many(1000, DataSetFound{"PAYROLL.BACKUP", 1, 2, "2026-01-01", "", " 98030", ""});
  for (DataSetFound& set : many) set.kept_until = "kept under tape management control (98030)";
  EXPECT_EQ(DestroyedDataSets(many),
            "1,000 data sets, 2,000 blocks: first PAYROLL.BACKUP created 2026-01-01, kept under tape management "
            "control (98030); PAYROLL.BACKUP created 2026-01-01, kept under tape management control (98030); "
            "PAYROLL.BACKUP created 2026-01-01, kept under tape management control (98030); 997 more in the map "
            "file");
  EXPECT_TRUE(KeptDataSets(many).ends_with(", 997 more in the JSON report's data_sets")) << KeptDataSets(many);
}

}  // namespace
}  // namespace library
