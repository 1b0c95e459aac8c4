#include "tape_label.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string CreationDate(time_t utc) {
  char today[kDateBufferSize];
  FormatCreationDate(utc, today);
  return today;
}

// What the C library's broken-down UTC time gives, the reference the
// calendar arithmetic has to match.
std::string DateByGmtime(time_t utc) {
  struct tm fields {};
  gmtime_r(&utc, &fields);
  char today[kDateBufferSize];
  snprintf(today, sizeof today, "0%02d%03d", fields.tm_year - 100, fields.tm_yday + 1);
  return today;
}

struct DateCase {
  time_t utc;
  const char* date;
};

const DateCase kDates[] = {
    {946684799, "0-1365"},   // 1999-12-31 23:59:59: before the format's century
    {946684800, "000001"},   // 2000-01-01 00:00:00, the first day the format can hold
    {951782400, "000060"},   // 2000-02-29: 2000 is a leap year, divisible by 400
    {978307199, "000366"},   // 2000-12-31 23:59:59
    {978307200, "001001"},   // 2001-01-01 00:00:00
    {1709164800, "024060"},  // 2024-02-29, a leap day
    {1735689599, "024366"},  // 2024-12-31 23:59:59, the last day of a leap year
    {1704067199, "023365"},  // 2023-12-31 23:59:59, the last day of a common year
    {1796601600, "026341"},  // 2026-12-07
    {4102444799, "099365"},  // 2099-12-31 23:59:59, the last day the format can hold
    // From 2100 the year takes three digits; the writer puts only the first six characters on the tape.
    {4102444800, "0100001"},  // 2100-01-01
    {4107542400, "0100060"},  // 2100-03-01: 2100 is no leap year, so this is day 60
    {4133980799, "0100365"},  // 2100-12-31 23:59:59
};

TEST(CreationDateTest, IsCenturyZeroYearAndDayOfYear) {
  for (const DateCase& c : kDates) {
    EXPECT_EQ(CreationDate(c.utc), c.date) << c.utc;
    EXPECT_EQ(DateByGmtime(c.utc), c.date) << c.utc << ": the table disagrees with gmtime_r";
  }
}

TEST(CreationDateTest, AgreesWithGmtimeOnEveryDayFrom1999To2101) {
  constexpr time_t kDay = 86400;
  for (time_t midnight = 915148800; midnight < 4133980800; midnight += kDay) {  // 1999-01-01 to 2101-01-01
    for (time_t second : {midnight, midnight + kDay - 1}) {
      ASSERT_EQ(CreationDate(second), DateByGmtime(second)) << second;
    }
  }
}

}  // namespace
