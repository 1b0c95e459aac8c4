#include "label_checks.h"

#include <algorithm>

#include "label_date.h"

namespace show {
namespace {

constexpr char kAcceptedSerialCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@#$-";
// z/OS writes a data set sequence number in binary only where four digits
// do not hold it, and its three bytes go no further than this.
constexpr uint64_t kLowestBinarySequence = 10000;
constexpr uint64_t kHighestBinarySequence = 65535;

class Checker {
 public:
  Checker(const LabelSet& set, const DecodedSet& decoded, CheckRules rules)
      : set_(set), decoded_(decoded), rules_(rules) {}

  std::vector<Finding> Run() {
    CheckIdentifiers();
    CheckRecordLengths();
    CheckTapeMark();
    CheckMarker();
    CheckLabelCharacters();
    CheckNumericFields();
    CheckCodes();
    CheckDates();
    CheckUhl1Rest();
    CheckVaklabelReadsALabel();
    return std::move(findings_);
  }

 private:
  void Add(std::string check, const DecodedRecord* record, const Field* field, std::string reason) {
    findings_.push_back(MakeFinding(std::move(check), record, field, std::move(reason)));
  }

  const DecodedRecord* Record(std::string_view identifier) const {
    for (const DecodedRecord& record : decoded_.records)
      if (record.identifier == identifier) return &record;
    return nullptr;
  }

  // The identifiers that may follow `previous` in a label group: VOL1,
  // HDR1, HDR2, then HDR3-HDR9 and UHL1-UHL8, each series in order.
  static std::vector<std::string> Successors(std::string_view previous) {
    if (previous.empty()) return {"VOL1"};
    if (previous == "VOL1") return {"HDR1"};
    if (previous == "HDR1") return {"HDR2"};
    char n = previous.size() == 4 ? previous[3] : '0';
    if (previous.substr(0, 3) == "HDR" && n >= '2' && n <= '9') {
      if (n == '9') return {"UHL1"};
      return {std::string("HDR") + static_cast<char>(n + 1), "UHL1"};
    }
    if (previous.substr(0, 3) == "UHL" && n >= '1' && n < '8') return {std::string("UHL") + static_cast<char>(n + 1)};
    return {};
  }

  static std::string Alternatives(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : " or ") + names[i];
    return text;
  }

  void CheckIdentifiers() {
    if (decoded_.ascii) {
      Add("identifiers", nullptr, nullptr, kAsciiLabels);
      return;
    }
    if (decoded_.records.empty()) {
      Add("identifiers", nullptr, nullptr,
          set_.ends_with_tape_mark ? "no label records: the tape starts with a tape mark" : "no label records: the tape is blank");
      return;
    }
    std::string previous;
    for (const DecodedRecord& record : decoded_.records) {
      std::vector<std::string> allowed = Successors(previous);
      if (std::find(allowed.begin(), allowed.end(), record.identifier) == allowed.end()) {
        std::string expected = allowed.empty() ? "the tape mark that ends the label group after " + previous
                                               : Alternatives(allowed);
        Add("identifiers", &record, nullptr, Quoted(record.identifier) + " where " + expected + " belongs");
        return;
      }
      previous = record.identifier;
    }
    if (decoded_.records.size() < 3 && !decoded_.initialised && !decoded_.vse)
      Add("identifiers", nullptr, nullptr,
          "the label set ends after " + previous + ", before " + Alternatives(Successors(previous)));
    if (set_.more_records)
      Add("identifiers", nullptr, nullptr,
          "more than " + std::to_string(kMaxLabelRecords) + " records before the first tape mark");
  }

  void CheckRecordLengths() {
    for (const DecodedRecord& record : decoded_.records)
      if (record.unread || record.length != kLabelRecordSize)
        Add("record_length", &record, nullptr,
            (record.unread ? "more than " + std::to_string(kMaxBlockRead) : std::to_string(record.length)) +
                " bytes where a label record has " + std::to_string(kLabelRecordSize));
  }

  // A label file records no tape marks, so only a tape or an image gets here.
  void CheckTapeMark() {
    if (!set_.ends_with_tape_mark && !decoded_.records.empty())
      Add("tape_mark", nullptr, nullptr, "the recorded data ends after the label records without a tape mark");
  }

  void CheckMarker() {
    if (!decoded_.marker) return;
    const DecodedRecord& vol1 = decoded_.records[0];
    const Field* serial = vol1.Find("volume_serial");
    if (decoded_.records.size() < 4) {
      Add("marker", &vol1, serial, "VOL1 carries the UHL1 marker but no fourth record follows for the label");
    } else if (decoded_.records[3].identifier != "UHL1") {
      Add("marker", &decoded_.records[3], nullptr,
          "VOL1 carries the UHL1 marker but record 4 is " + Quoted(decoded_.records[3].identifier) +
              ", not UHL1; vaklabel takes the label from it all the same");
    }
  }

  // Left-justified, padded with blanks, from the characters a mainframe
  // takes in a volume serial without quoting.
  static std::string SerialProblem(std::string_view serial, int first_column) {
    size_t end = serial.find_last_not_of(' ');
    if (end == std::string_view::npos) return "blank";
    for (size_t i = 0; i <= end; ++i) {
      char c = serial[i];
      std::string where = " in column " + std::to_string(first_column + static_cast<int>(i));
      if (c == ' ') return "a blank" + where + " before the last character";
      if (std::string_view(kAcceptedSerialCharacters).find(c) == std::string_view::npos)
        return Quoted(std::string(1, c)) + where +
               " is not among the characters mainframes accept in a volume serial (A-Z, 0-9, @ # $ -)";
    }
    return "";
  }

  void CheckSerial(const DecodedRecord* holder, const char* key) {
    const Field* field = holder ? holder->Find(key) : nullptr;
    if (!field) return;
    std::string problem = SerialProblem(field->value, field->first);
    if (!problem.empty()) Add("volume_serial", holder, field, problem);
  }

  // A mainframe reads the marker as the volume serial and refuses it; the
  // eight characters in UHL1 are this project's own convention, judged as
  // such unless a mainframe's rules alone are asked for.
  void CheckLabelCharacters() {
    if (decoded_.records.empty()) return;
    if (!decoded_.marker || rules_.mainframe) CheckSerial(&decoded_.records[0], "volume_serial");
    if (decoded_.marker && decoded_.records.size() >= 4 && decoded_.records[3].identifier == "UHL1")
      CheckSerial(&decoded_.records[3], "label");
  }

  // Digits or only blanks, or above 9999 z/OS's binary data set sequence number.
  void CheckNumericFields() {
    for (const DecodedRecord& record : decoded_.records)
      for (const Field& field : record.fields) {
        bool blank = field.value.find_first_not_of(' ') == std::string::npos;
        if (field.numeric && !field.number && !blank)
          Add("numeric", &record, &field, Quoted(field.value) + " is neither a number nor blank");
        else if (field.numeric && field.value.starts_with('?') && field.number &&
                 (*field.number < kLowestBinarySequence || *field.number > kHighestBinarySequence))
          Add("numeric", &record, &field,
              "binary " + std::to_string(*field.number) + ", where binary form holds only " +
                  std::to_string(kLowestBinarySequence) + " to " + std::to_string(kHighestBinarySequence));
      }
  }

  void CheckCodes() {
    for (const DecodedRecord& record : decoded_.records)
      for (const Field& field : record.fields)
        if (!field.codes.empty() && field.meaning.empty())
          Add("code", &record, &field, Quoted(field.value) + " is none of the codes " + field.codes);
  }

  void CheckDates() {
    const DecodedRecord* hdr1 = Record("HDR1");
    if (!hdr1) return;
    const Field* created = hdr1->Find("creation_date");
    const Field* expires = hdr1->Find("expiration_date");
    LabelDate creation;
    LabelDate expiration;
    if (created) {
      creation = ParseLabelDate(created->value, false);
      if (creation.kind == LabelDate::Kind::kInvalid) Add("date", hdr1, created, creation.reason);
      CheckCreationForm(*hdr1, *created, creation);
    }
    if (expires) {
      expiration = ParseLabelDate(expires->value, true);
      if (expiration.kind == LabelDate::Kind::kInvalid) Add("date", hdr1, expires, expiration.reason);
    }
    if (creation.kind == LabelDate::Kind::kDate && expiration.kind == LabelDate::Kind::kDate &&
        Before(expiration, creation))
      Add("expiration", hdr1, expires,
          "expires " + Describe(expiration) + ", before its creation on " + Describe(creation));
  }

  // vaklabel writes today's date, in the form 0yyddd.
  void CheckCreationForm(const DecodedRecord& hdr1, const Field& created, const LabelDate& creation) {
    if (creation.kind == LabelDate::Kind::kInvalid || decoded_.initialised) return;
    if (creation.kind == LabelDate::Kind::kNone)
      Add(kVaklabelForm, &hdr1, &created, "no creation date, where vaklabel writes the day of writing");
    else if (created.value[0] != '0')
      Add(kVaklabelForm, &hdr1, &created,
          "century digit '" + created.value.substr(0, 1) + "': vaklabel writes the creation date as 0yyddd");
  }

  void CheckUhl1Rest() {
    if (!decoded_.marker || decoded_.records.size() < 4 || decoded_.records[3].identifier != "UHL1") return;
    const Field* rest = decoded_.records[3].Find("user_data");
    if (rest && rest->value.find_first_not_of(' ') != std::string::npos)
      Add(kVaklabelForm, &decoded_.records[3], rest, "not blank, where vaklabel writes blanks after the label");
  }

  void CheckVaklabelReadsALabel() {
    if (!decoded_.vaklabel.label)
      Add(kVaklabelForm, nullptr, nullptr, "vaklabel reads no label: " + decoded_.vaklabel.why_none);
  }

  const LabelSet& set_;
  const DecodedSet& decoded_;
  CheckRules rules_;
  std::vector<Finding> findings_;
};

}  // namespace

Finding MakeFinding(std::string check, const DecodedRecord* record, const Field* field, std::string reason) {
  Finding finding{std::move(check), 0, "", "", "", 0, 0, std::move(reason)};
  if (record) {
    finding.record = record->number;
    finding.identifier = record->identifier;
  }
  if (field) {
    finding.field = field->key;
    finding.field_title = field->title;
    finding.first = field->first;
    finding.last = field->last;
  }
  return finding;
}

std::vector<Finding> CheckLabelSet(const LabelSet& set, const DecodedSet& decoded, CheckRules rules) {
  return Checker(set, decoded, rules).Run();
}

std::vector<std::string> Notes(const LabelSet& set, const DecodedSet& decoded, CheckRules rules) {
  std::vector<std::string> notes = set.notes;
  if (decoded.initialised) notes.emplace_back(kInitialisedNote);
  if (decoded.vse) notes.emplace_back(kVseNote);
  if (decoded.marker && !rules.mainframe) notes.emplace_back(kEightCharacterNote);
  return notes;
}

bool IsVaklabelForm(const Finding& finding) { return finding.check == kVaklabelForm; }

bool IdentifiersPass(const std::vector<Finding>& findings) {
  return std::none_of(findings.begin(), findings.end(), [](const Finding& f) { return f.check == "identifiers"; });
}

bool Passes(const std::vector<Finding>& findings, bool vaklabel_form_counts) {
  return std::all_of(findings.begin(), findings.end(),
                     [&](const Finding& f) { return IsVaklabelForm(f) && !vaklabel_form_counts; });
}

}  // namespace show
