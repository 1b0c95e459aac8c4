// Label dates, cyyddd: a century digit (blank 19xx, 0 20xx, 1 21xx), the
// year within the century and the day of the year.
#pragma once

#include <string>
#include <string_view>

namespace show {

struct LabelDate {
  enum class Kind {
    kDate,            // a calendar day
    kNone,            // yyddd all zeros: no date recorded
    kNeverExpires,    // 1999/365 or 1999/366 as an expiration date
    kTapeManagement,  // 1998/000 or 1999/000 as an expiration date
    kInvalid,
  };
  Kind kind = Kind::kInvalid;
  int year = 0;
  int day = 0;         // of the year, from 1
  std::string reason;  // kInvalid: why
};

/// Parses a six-character date field; `expiration` admits the special
/// expiration dates mainframes give a meaning.
LabelDate ParseLabelDate(std::string_view field, bool expiration);

/// The calendar date as yyyy-mm-dd.
std::string IsoDate(int year, int day_of_year);

/// What the date means for a reader: its calendar date, or its special meaning.
std::string Describe(const LabelDate& date);

/// True when `a` is an earlier day than `b`; both must be kDate.
bool Before(const LabelDate& a, const LabelDate& b);

}  // namespace show
