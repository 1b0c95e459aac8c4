#include "plan.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

namespace library {
namespace {

bool ParseNumber(std::string_view text, int* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && *value >= 0;
}

std::optional<std::string> LabelFromBarcode(std::string_view barcode, LabelSource source, std::string* reason) {
  if (barcode.empty()) {
    *reason = "no barcode to take the label from";
    return std::nullopt;
  }
  std::string label(barcode);
  if (source == LabelSource::kBarcodeSix) {
    if (label.size() < 6) {
      *reason = "barcode " + label + " is shorter than six characters";
      return std::nullopt;
    }
    label.resize(6);
  } else if (label.size() != 6 && label.size() != 8) {
    *reason = "barcode " + label + " has " + std::to_string(label.size()) +
              " characters; a label has six or eight";
    return std::nullopt;
  }
  if (!IsLabelText(label)) {
    *reason = "barcode " + std::string(barcode) + " holds characters a label cannot";
    return std::nullopt;
  }
  return label;
}

// Where the changer shows each barcode: "slot 2", "drive 0", "mail slot 10".
std::map<std::string, std::vector<std::string>> PlacesOfBarcodes(const ChangerStatus& status) {
  std::map<std::string, std::vector<std::string>> places;
  for (const SlotStatus& slot : status.slots) {
    if (slot.full && !slot.barcode.empty()) places[slot.barcode].push_back("slot " + std::to_string(slot.number));
  }
  for (const DriveStatus& drive : status.drives) {
    if (drive.full && !drive.barcode.empty()) places[drive.barcode].push_back("drive " + std::to_string(drive.index));
  }
  for (const SlotStatus& slot : status.mail_slots) {
    if (slot.full && !slot.barcode.empty()) places[slot.barcode].push_back("mail slot " + std::to_string(slot.number));
  }
  return places;
}

// "slots 1 and 2", "slot 1, drive 0 and mail slot 10".
std::string PlacesText(std::vector<std::string> places) {
  bool all_slots =
      std::all_of(places.begin(), places.end(), [](const std::string& p) { return p.starts_with("slot "); });
  if (all_slots) {
    for (std::string& place : places) place.erase(0, std::string_view("slot ").size());
  }
  std::string text = all_slots ? "slots " : "";
  for (size_t i = 0; i < places.size(); ++i) {
    if (i > 0) text += i + 1 == places.size() ? " and " : ", ";
    text += places[i];
  }
  return text;
}

// A barcode the changer shows twice names no one cartridge: a label meant for
// one of them could land on the other, and the history of one is the other's.
void RefuseSharedBarcodes(const ChangerStatus& status, std::vector<PlanEntry>* plan) {
  std::map<std::string, std::vector<std::string>> places = PlacesOfBarcodes(status);
  for (PlanEntry& entry : *plan) {
    if (entry.disposition != Disposition::kVisit || entry.barcode.empty()) continue;
    const std::vector<std::string>& seen = places[entry.barcode];
    if (seen.size() < 2) continue;
    entry.disposition = Disposition::kRefuse;
    entry.reason = "barcode " + entry.barcode + " in " + PlacesText(seen) + ": it tells no cartridge from the other";
  }
}

}  // namespace

std::optional<std::vector<int>> ParseSlotList(std::string_view text, std::string* error) {
  std::set<int> slots;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(", ", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    size_t dash = item.find('-');
    int first = 0, last = 0;
    bool ok = dash == std::string_view::npos
                  ? ParseNumber(item, &first) && ParseNumber(item, &last)
                  : ParseNumber(item.substr(0, dash), &first) && ParseNumber(item.substr(dash + 1), &last);
    if (!ok || first > last) {
      *error = "bad slot list item '" + std::string(item) + "': give slots as 5, 1-20 or 1-4,9";
      return std::nullopt;
    }
    if (last > kHighestSlot) {
      *error =
          "slot " + std::to_string(last) + " is beyond any library (slots end at " + std::to_string(kHighestSlot) + ")";
      return std::nullopt;
    }
    for (int slot = first; slot <= last; ++slot) slots.insert(slot);
  }
  if (slots.empty()) {
    *error = "no slots in '" + std::string(text) + "'";
    return std::nullopt;
  }
  return std::vector<int>(slots.begin(), slots.end());
}

bool IsLabelText(std::string_view label) {
  return std::all_of(label.begin(), label.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' || c == '#' || c == '$' || c == '-';
  });
}

bool IsCleaningBarcode(std::string_view barcode) { return barcode.starts_with("CLN"); }

void RefuseDuplicateLabels(std::vector<PlanEntry>* plan,
                           const std::function<Holding(const std::string& label, const PlanEntry& entry)>& holding) {
  std::map<std::string, std::vector<const PlanEntry*>> by_label;
  for (const PlanEntry& entry : *plan) {
    if (entry.disposition == Disposition::kVisit && !entry.wanted.empty()) by_label[entry.wanted].push_back(&entry);
  }
  std::map<int, std::string> refusals;
  std::map<int, std::string> cautions;
  for (const auto& [label, entries] : by_label) {
    for (const PlanEntry* entry : entries) {
      std::string others;
      for (const PlanEntry* other : entries) {
        if (other == entry) continue;
        others += (others.empty() ? "slot " : ", slot ") + std::to_string(other->slot) +
                  (other->barcode.empty() ? "" : " (" + other->barcode + ")");
      }
      if (!others.empty()) {
        refusals[entry->slot] = "label " + label + " would also go to " + others;
        continue;
      }
      Holding elsewhere = holding(label, *entry);
      if (elsewhere.holder.empty()) continue;
      (elsewhere.may_be_it ? cautions : refusals)[entry->slot] =
          "label " + label + " is already on " + elsewhere.holder;
    }
  }
  for (PlanEntry& entry : *plan) {
    if (cautions.contains(entry.slot)) entry.reason = cautions[entry.slot];
    if (!refusals.contains(entry.slot)) continue;
    entry.disposition = Disposition::kRefuse;
    entry.reason = refusals[entry.slot];
  }
}

std::optional<std::vector<std::string>> SerialSequence(std::string_view start, size_t count, std::string* error) {
  if ((start.size() != 6 && start.size() != 8) || !IsLabelText(start)) {
    *error = "serial " + std::string(start) + " is not a six- or eight-character label of A-Z, 0-9, @, #, $, -";
    return std::nullopt;
  }
  size_t digits_at = start.find_last_not_of("0123456789") + 1;
  if (digits_at == start.size()) {
    *error = "serial " + std::string(start) + " does not end in a digit to count with";
    return std::nullopt;
  }
  std::string_view digits = start.substr(digits_at);
  // Counting must neither carry into the prefix nor lengthen the label.
  unsigned long long first = std::stoull(std::string(digits));
  unsigned long long room = 1;
  for (size_t i = 0; i < digits.size(); ++i) room *= 10;
  if (count > room - first) {
    std::string last_fit = std::string(start.substr(0, digits_at)) + std::string(digits.size(), '9');
    *error = "serial " + std::string(start) + " runs out after " + last_fit + ": " + std::to_string(count) +
             " labels needed, " + std::to_string(room - first) + " left";
    return std::nullopt;
  }
  std::vector<std::string> labels;
  for (size_t i = 0; i < count; ++i) {
    std::string number = std::to_string(first + i);
    labels.push_back(std::string(start.substr(0, digits_at)) + std::string(digits.size() - number.size(), '0') +
                     number);
  }
  return labels;
}

std::optional<std::vector<PlanEntry>> BuildPlan(const ChangerStatus& status, const PlanRequest& request,
                                                std::string* error) {
  std::map<int, PlanEntry> library;
  for (const SlotStatus& slot : status.slots) {
    PlanEntry entry;
    entry.slot = slot.number;
    entry.barcode = slot.barcode;
    entry.disposition = slot.full ? Disposition::kVisit : Disposition::kSkipEmpty;
    library[slot.number] = entry;
  }
  for (const DriveStatus& drive : status.drives) {
    if (!drive.full || !drive.source_slot) continue;
    auto home = library.find(*drive.source_slot);
    if (home == library.end() || home->second.disposition != Disposition::kSkipEmpty) continue;
    home->second.barcode = drive.barcode;
    home->second.in_drive = drive.index;
    home->second.disposition = Disposition::kVisit;
  }
  std::vector<int> chosen = request.slots;
  if (chosen.empty()) {
    for (const auto& [number, entry] : library) chosen.push_back(number);
  }
  std::vector<PlanEntry> plan;
  for (int slot : chosen) {
    auto found = library.find(slot);
    if (found == library.end()) {
      int low = library.empty() ? 0 : library.begin()->first;
      int high = library.empty() ? 0 : library.rbegin()->first;
      *error = "slot " + std::to_string(slot) + " is not in this library (storage slots " + std::to_string(low) +
               "-" + std::to_string(high) + ")";
      return std::nullopt;
    }
    PlanEntry entry = found->second;
    if (entry.disposition == Disposition::kVisit && IsCleaningBarcode(entry.barcode)) {
      entry.disposition = Disposition::kSkipCleaning;
    }
    plan.push_back(entry);
  }
  if (request.source == LabelSource::kNone) return plan;
  RefuseSharedBarcodes(status, &plan);

  size_t to_label = std::count_if(plan.begin(), plan.end(),
                                  [](const PlanEntry& e) { return e.disposition == Disposition::kVisit; });
  std::vector<std::string> serials;
  if (request.source == LabelSource::kSerial) {
    auto sequence = SerialSequence(request.serial_start, to_label, error);
    if (!sequence) return std::nullopt;
    serials = *sequence;
  }
  size_t next_serial = 0;
  for (PlanEntry& entry : plan) {
    if (entry.disposition != Disposition::kVisit) continue;
    if (request.source == LabelSource::kSerial) {
      entry.wanted = serials[next_serial++];
      continue;
    }
    auto label = LabelFromBarcode(entry.barcode, request.source, &entry.reason);
    if (label) {
      entry.wanted = *label;
    } else {
      entry.disposition = Disposition::kRefuse;
    }
  }
  return plan;
}

}  // namespace library
