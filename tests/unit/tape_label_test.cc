#include "tape_label.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DateCase {
  time_t utc;
  const char* date;
};

const DateCase kDates[] = {
    {946684800, "000001"},   // 2000-01-01 00:00:00, the first day the format can hold
    {1709164800, "024060"},  // 2024-02-29, a leap day
    {1735689599, "024366"},  // 2024-12-31 23:59:59, the last day of a leap year
    {1704067199, "023365"},  // 2023-12-31 23:59:59, the last day of a common year
    {1796601600, "026341"},  // 2026-12-07
};

TEST(CreationDateTest, IsCenturyZeroYearAndDayOfYear) {
  for (const DateCase& c : kDates) {
    struct tm utc {};
    gmtime_r(&c.utc, &utc);
    char today[kDateBufferSize];
    FormatCreationDate(utc, today);
    EXPECT_EQ(std::string(today), c.date) << c.utc;
  }
}

}  // namespace
