#include "label_date.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace show {
namespace {

constexpr size_t kDateLength = 6;

int DaysIn(int year) { return std::chrono::year(year).is_leap() ? 366 : 365; }

bool AllDigits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return !text.empty();
}

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

LabelDate Invalid(std::string reason) {
  LabelDate date;
  date.reason = std::move(reason);
  return date;
}

}  // namespace

LabelDate ParseLabelDate(std::string_view field, bool expiration) {
  if (field.size() != kDateLength) return Invalid("cut short: the record ends inside the date");
  int century;
  switch (field[0]) {
    case ' ':
      century = 1900;
      break;
    case '0':
      century = 2000;
      break;
    case '1':
      century = 2100;
      break;
    default:
      return Invalid("century digit '" + std::string(1, field[0]) + "' is none of blank, 0 and 1");
  }
  std::string_view yyddd = field.substr(1);
  if (!AllDigits(yyddd)) return Invalid(std::string("'").append(field).append("' is not a date of the form cyyddd"));
  LabelDate date;
  date.year = century + Number(yyddd.substr(0, 2));
  date.day = Number(yyddd.substr(2));
  if (yyddd == "00000") {
    date.kind = LabelDate::Kind::kNone;
  } else if (expiration && date.year == 1999 && (date.day == 365 || date.day == 366)) {
    date.kind = LabelDate::Kind::kNeverExpires;
  } else if (expiration && (date.year == 1998 || date.year == 1999) && date.day == 0) {
    date.kind = LabelDate::Kind::kTapeManagement;
  } else if (date.day == 0 || date.day > DaysIn(date.year)) {
    return Invalid("day " + std::string(yyddd.substr(2)) + " is not a day of " + std::to_string(date.year));
  } else {
    date.kind = LabelDate::Kind::kDate;
  }
  return date;
}

std::string IsoDate(int year, int day_of_year) {
  using namespace std::chrono;
  year_month_day date{sys_days{std::chrono::year(year) / January / 1} + days(day_of_year - 1)};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

std::string Describe(const LabelDate& date) {
  switch (date.kind) {
    case LabelDate::Kind::kDate:
      return IsoDate(date.year, date.day);
    case LabelDate::Kind::kNone:
      return "no date";
    case LabelDate::Kind::kNeverExpires:
      return "never expires";
    case LabelDate::Kind::kTapeManagement:
      return "kept under tape management control";
    case LabelDate::Kind::kInvalid:
      break;
  }
  return "";
}

bool Before(const LabelDate& a, const LabelDate& b) { return a.year < b.year || (a.year == b.year && a.day < b.day); }

}  // namespace show
