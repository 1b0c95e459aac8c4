#include "decoder.h"

#include <algorithm>

#include "process.h"

namespace library {

namespace {

// Failed checks that mean the records are no standard label set at all;
// the others are worth a warning on a label set all the same.
bool BreaksTheSet(const std::string& check) {
  return check == "identifiers" || check == "marker" || check == "record_length";
}

std::string Text(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// A date field: its calendar date, or what the decoder says it means.
std::string DateOf(const nlohmann::json& records, const char* field) {
  for (const nlohmann::json& record : records) {
    if (Text(record, "identifier") != "HDR1") continue;
    auto fields = record.find("fields");
    if (fields == record.end() || !fields->is_object() || !fields->contains(field)) return "";
    const nlohmann::json& entry = (*fields)[field];
    std::string date = Text(entry, "date");
    return date.empty() ? Text(entry, "meaning") : date;
  }
  return "";
}

// A record's 80 columns, from the decoder's fields and the columns it
// gives for each.
std::string RecordText(const nlohmann::json& record) {
  std::string text(80, ' ');
  text.replace(0, 4, Text(record, "identifier").substr(0, 4));
  auto fields = record.find("fields");
  if (fields == record.end() || !fields->is_object()) return text;
  for (const nlohmann::json& field : *fields) {
    auto columns = field.find("columns");
    std::string value = Text(field, "value");
    if (columns == field.end() || !columns->is_array() || columns->size() != 2) continue;
    int first = (*columns)[0].is_number_integer() ? (*columns)[0].get<int>() : 0;
    int last = (*columns)[1].is_number_integer() ? (*columns)[1].get<int>() : 0;
    if (first < 1 || last > 80 || last < first) continue;
    text.replace(first - 1, std::min<size_t>(value.size(), last - first + 1), value.substr(0, last - first + 1));
  }
  return text;
}

}  // namespace

Decoded FromDecoderJson(const nlohmann::json& document) {
  Decoded decoded;
  if (!document.is_object()) {
    decoded.error = "no JSON object";
    return decoded;
  }
  if (document.contains("error")) {
    decoded.error = Text(document, "error");
    return decoded;
  }
  decoded.ran = true;
  decoded.standard = true;
  auto findings = document.find("failed_checks");
  for (const nlohmann::json& finding : findings != document.end() ? *findings : nlohmann::json::array()) {
    std::string check = Text(finding, "check");
    std::string field = Text(finding, "field");
    std::string identifier = Text(finding, "identifier");
    std::string where = identifier.empty() ? "" : identifier + (field.empty() ? "" : " " + field) + ": ";
    decoded.problems.push_back(where + Text(finding, "reason"));
    if (BreaksTheSet(check)) decoded.standard = false;
  }
  auto found = document.find("records");
  const nlohmann::json records = found != document.end() && found->is_array() ? *found : nlohmann::json::array();
  for (const nlohmann::json& record : records) decoded.records.push_back(RecordText(record));
  auto initialised = document.find("initialised");
  decoded.initialised = initialised != document.end() && initialised->is_boolean() && initialised->get<bool>();
  decoded.created = DateOf(records, "creation_date");
  decoded.expires = DateOf(records, "expiration_date");
  return decoded;
}

Decoded Decode(const std::string& decoder, const std::string& file) {
  ProcessResult r = RunProcess({decoder, "--json", file});
  Decoded decoded;
  if (!r.started) {
    decoded.error = "cannot run " + decoder;
    return decoded;
  }
  nlohmann::json document = nlohmann::json::parse(r.out, nullptr, false);
  if (document.is_discarded()) {
    decoded.error = decoder + " gave no JSON (status " + std::to_string(r.status) + ")";
    return decoded;
  }
  return FromDecoderJson(document);
}

}  // namespace library
