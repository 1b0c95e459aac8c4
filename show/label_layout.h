// The IBM standard label layouts (VOL1, HDR1, HDR2, HDR3-HDR9, UHL1-UHL8),
// as z/OS DFSMS "Using Magnetic Tapes" documents them, and the decoding of a
// label set into named fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "label_set.h"
#include "vaklabel_view.h"

namespace show {

/// The six characters in VOL1 columns 5-10 that put the label in UHL1.
inline constexpr std::string_view kUhl1Marker = "*UHL1*";

struct Field {
  std::string key;    // stable name for scripts: volume_serial, creation_date, ...
  std::string title;  // for people: "volume serial"
  int first = 0;      // columns, counted from 1 as the layouts are documented
  int last = 0;
  std::string value;    // the columns' characters; shorter when the record ends inside them
  std::string meaning;  // what a coded value or a date stands for, when it has a meaning
  std::string date;     // yyyy-mm-dd when the field holds a calendar date
  std::string date_code;           // a date field's kind: calendar, none, never_expires, tape_management
  std::optional<uint64_t> number;  // a numeric field's value
  std::string codes;               // the codes the published lists allow here, "F, V, U"; empty when not checked
  bool numeric = false;            // holds digits (or blanks) by its layout
};

struct DecodedRecord {
  int number = 0;          // 1 for the first record on the tape
  std::string identifier;  // columns 1-4
  std::string title;       // "volume label", "data set label 1", ...
  size_t length = 0;
  /// A block longer than kMaxBlockRead: neither its length nor its bytes are known.
  bool unread = false;
  std::vector<Field> fields;

  const Field* Find(std::string_view key) const;
};

struct DecodedSet {
  std::vector<DecodedRecord> records;
  /// VOL1 carries the UHL1 marker.
  bool marker = false;
  /// VOL1 and a dummy HDR1 of zeros, then the tape mark: a volume
  /// initialised for standard labels that holds no data set yet.
  bool initialised = false;
  /// VOL1 and HDR1, then the tape mark: a label set as z/VSE may write it.
  bool vse = false;
  /// The bytes on the tape are ASCII (ANSI/ISO) labels, not EBCDIC ones.
  bool ascii = false;
  /// What vaklabel reads from this set: VOL1's volume serial, or with the
  /// marker UHL1 columns 5-12, or none and why.
  VaklabelView vaklabel;
};

DecodedSet Decode(const LabelSet& set);

/// True when the set's first record opens a label group in ASCII (ANSI/ISO
/// labels), read through the EBCDIC table like every block.
bool IsAsciiSet(const LabelSet& set);

/// Columns 1-4 of record `index` as the labels' own code spells them.
std::string Identifier(const LabelSet& set, size_t index);

/// Columns `first` to `last` of `record`, as far as the record reaches.
std::string Columns(std::string_view record, int first, int last);

/// `text` with every byte outside printable ASCII written as \xNN.
std::string Visible(std::string_view text);

/// `bytes` for JSON: each byte as the character with that code (Latin-1).
std::string Utf8(std::string_view bytes);

/// Input quoted for a message: in quotes, and cut after a few dozen bytes,
/// so that no input can flood a terminal. Its bytes stay as they are: text
/// output passes them through Visible, JSON through its own escaping.
std::string Quoted(std::string_view text);

}  // namespace show
