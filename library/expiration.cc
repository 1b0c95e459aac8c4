#include "expiration.h"

#include <chrono>
#include <ctime>
#include <regex>

#include "label_date.h"
#include "label_set.h"

namespace library {

std::optional<std::string> ParseDay(std::string_view text, std::string* error) {
  static const std::regex form(R"((\d{4})-(\d{2})-(\d{2}))");
  std::string day(text);
  std::smatch m;
  if (!std::regex_match(day, m, form)) {
    *error = "'" + day + "' is not a date of the form YYYY-MM-DD";
    return std::nullopt;
  }
  std::chrono::year_month_day date{std::chrono::year(std::stoi(m[1])), std::chrono::month(std::stoi(m[2])),
                                   std::chrono::day(std::stoi(m[3]))};
  if (!date.ok()) {
    *error = "'" + day + "' is no day of the calendar";
    return std::nullopt;
  }
  return day;
}

std::string Today() {
  show::LabelDate today = show::ParseLabelDate(CreationDate(std::time(nullptr)), false);
  return show::IsoDate(today.year, today.day);
}

std::string DateCodeText(std::string_view expiration) {
  size_t start = expiration.find_first_not_of(' ');
  if (start == std::string_view::npos) return "";
  show::LabelDate date = show::ParseLabelDate(expiration, true);
  // Built up in steps: GCC 12's optimiser warns (-Wrestrict) about a chain
  // that starts with a literal here.
  std::string code = "(";
  code += expiration.substr(start);
  code += ")";
  switch (date.kind) {
    case show::LabelDate::Kind::kNone: return "";
    case show::LabelDate::Kind::kNeverExpires: return "never expires " + code;
    case show::LabelDate::Kind::kTapeManagement: return "kept under tape management control " + code;
    case show::LabelDate::Kind::kInvalid: return "expiration date " + code + " cannot be read: " + date.reason;
    case show::LabelDate::Kind::kDate: break;
  }
  // 98ddd: tape management systems keep such a data set for ddd days after
  // its last use, a date no label records.
  if (date.year == 1998) return "kept under tape management control " + code;
  return "expires " + show::IsoDate(date.year, date.day);
}

std::string KeptUntil(std::string_view expiration, const ExpirationRule& rule, const std::string& today) {
  if (rule.ignore) return "";
  std::string text = DateCodeText(expiration);
  if (!text.starts_with("expires ")) return text;
  std::string judged_on = rule.as_of.empty() ? today : rule.as_of;
  return text.substr(std::string_view("expires ").size()) < judged_on ? "" : text;
}

}  // namespace library
