// Whether a data set found on a tape may be overwritten: a mainframe keeps
// a data set until its expiration date has passed, and so does this command
// unless the operator says otherwise.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace library {

struct ExpirationRule {
  /// Overwrite regardless of any expiration date.
  bool ignore = false;
  /// yyyy-mm-dd: calendar expiration dates are judged as of this day, not
  /// today. The never-expire and tape-management codes still keep their
  /// data sets: only `ignore` gives those up.
  std::string as_of;
};

/// A yyyy-mm-dd day of the calendar, as given on the command line; nothing,
/// with `*error`, for anything else.
std::optional<std::string> ParseDay(std::string_view text, std::string* error);

/// Today (UTC, as vaklabel dates what it writes) as yyyy-mm-dd.
std::string Today();

/// The one wording of an HDR1 expiration field, whether it keeps its data
/// set or not: "expires 2027-05-01", "never expires (99365)", "kept under
/// tape management control (98030)"; "" for a zero or blank field.
std::string DateCodeText(std::string_view expiration);

/// Why a data set whose HDR1 expiration field (columns 48-53) holds
/// `expiration` must be kept on `today`, e.g. "expires 2027-05-01" or
/// "never expires (99365)"; "" when it may be overwritten. A zero or blank
/// field sets no expiration.
std::string KeptUntil(std::string_view expiration, const ExpirationRule& rule, const std::string& today);

}  // namespace library
