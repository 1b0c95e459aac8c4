#include "label_registry.h"

#include <cctype>
#include <chrono>
#include <filesystem>
#include <regex>

#include "label_set.h"

namespace library {
namespace {

// A cartridge without a barcode goes by its slot, which another may take.
bool Identified(const std::string& cartridge) { return !cartridge.starts_with("slot "); }

std::string Holder(int slot, const std::string& cartridge) {
  std::string text = "slot " + std::to_string(slot) + "'s cartridge";
  return Identified(cartridge) ? text + " " + cartridge : text;
}

}  // namespace

std::string CartridgeName(int slot, const std::string& barcode) {
  if (barcode.empty()) return "slot " + std::to_string(slot);
  std::string name;
  for (char c : barcode) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

std::vector<SavedLabel> SavedLabels(const std::string& dir) {
  static const std::regex kept(R"(^slot(\d{1,5})(-([^.]+))?(\.[a-z-]+)?\.lbl$)");
  struct Newest {
    SavedLabel saved;
    std::filesystem::file_time_type when;
  };
  std::map<std::string, Newest> newest;
  std::error_code error;
  std::filesystem::directory_iterator files(dir, error);
  for (; !error && files != std::filesystem::directory_iterator(); files.increment(error)) {
    const std::filesystem::directory_entry& file = *files;
    std::string name = file.path().filename();
    std::smatch m;
    if (!std::regex_match(name, m, kept) || !file.is_regular_file(error)) continue;
    std::string why;
    auto records = ReadLabelFile(file.path(), &why);
    if (!records) continue;
    int slot = std::stoi(m[1].str());
    std::string cartridge = m[3].matched ? m[3].str() : CartridgeName(slot, "");
    // Each set kept of a slot without a barcode may be another cartridge's:
    // all of them count.
    std::string key = Identified(cartridge) ? std::to_string(slot) + " " + cartridge : name;
    auto when = file.last_write_time(error);
    auto found = newest.find(key);
    if (found != newest.end() && found->second.when >= when) continue;
    newest[key] = {{cartridge, LabelOf(*records), file.path(), slot}, when};
  }
  std::vector<SavedLabel> labels;
  for (const auto& [key, entry] : newest) labels.push_back(entry.saved);
  return labels;
}

LabelRegistry::LabelRegistry(const std::vector<SavedLabel>& saved) {
  for (const SavedLabel& record : saved) saved_[record.label].push_back(record);
}

Holding LabelRegistry::SavedHolder(const std::string& label, const PlanEntry& entry) const {
  auto records = saved_.find(label);
  if (records == saved_.end()) return {};
  std::string cartridge = CartridgeName(entry.slot, entry.barcode);
  Holding maybe;
  for (const SavedLabel& saved : records->second) {
    if (!Identified(saved.cartridge)) {
      maybe = {"a cartridge that was in slot " + std::to_string(saved.slot) +
                   " with no barcode to tell it by (kept in " + saved.file + ")",
               true};
      continue;
    }
    auto read = read_at_.find(saved.slot);
    bool read_since = read != read_at_.end() && CartridgeName(saved.slot, read->second.first) == saved.cartridge;
    if (read_since || (saved.slot == entry.slot && saved.cartridge == cartridge)) continue;
    Holding holding{Holder(saved.slot, saved.cartridge) + " (kept in " + saved.file + ")",
                    entry.barcode.empty() || saved.cartridge == cartridge};
    if (!holding.may_be_it) return holding;
    maybe = holding;
  }
  return maybe;
}

void LabelRegistry::Expect(const std::vector<PlanEntry>& plan) {
  std::lock_guard lock(mutex_);
  for (const PlanEntry& entry : plan) {
    if (entry.disposition != Disposition::kVisit) continue;
    order_[entry.slot] = progress_.size();
    progress_.push_back(Progress::kWaiting);
    if (!entry.wanted.empty()) planned_[entry.wanted][entry.slot] = entry.barcode;
  }
}

void LabelRegistry::Mark(int slot, Progress progress) {
  auto place = order_.find(slot);
  if (place != order_.end()) progress_[place->second] = progress;
  changed_.notify_all();
}

void LabelRegistry::Loaded(const PlanEntry& entry) {
  std::lock_guard lock(mutex_);
  Mark(entry.slot, Progress::kReading);
}

void LabelRegistry::Found(const PlanEntry& entry, const std::string& label) {
  std::lock_guard lock(mutex_);
  auto before = read_at_.find(entry.slot);
  if (before != read_at_.end() && read_.contains(before->second.second)) read_[before->second.second].erase(entry.slot);
  read_at_[entry.slot] = {entry.barcode, label};
  if (!label.empty()) read_[label][entry.slot] = entry.barcode;
  Mark(entry.slot, Progress::kDone);
}

void LabelRegistry::Settled(const PlanEntry& entry) {
  std::lock_guard lock(mutex_);
  Mark(entry.slot, Progress::kDone);
}

std::string LabelRegistry::HolderAmong(const Places& places, const PlanEntry& entry, const std::string& why) const {
  for (const auto& [slot, barcode] : places) {
    if (slot != entry.slot) return Holder(slot, CartridgeName(slot, barcode)) + " (" + why + ")";
  }
  return "";
}

std::string LabelRegistry::HolderBeforeWrite(const PlanEntry& entry, const std::string& label) {
  std::unique_lock lock(mutex_);
  auto place = order_.find(entry.slot);
  size_t before = place == order_.end() ? 0 : place->second;
  auto earlier_reads_done = [&] {
    for (size_t i = 0; i < before; ++i) {
      if (progress_[i] == Progress::kReading) return false;
    }
    return true;
  };
  // A signal handler cannot notify: the stop is looked at every moment.
  while (!changed_.wait_for(lock, std::chrono::milliseconds(100), earlier_reads_done)) {
    if (stop_ && *stop_)
      return "an earlier cartridge, for all the run knows: it was interrupted before their reads ended";
  }
  auto read = read_.find(label);
  std::string holder = read == read_.end() ? "" : HolderAmong(read->second, entry, "read in this run");
  auto planned = planned_.find(label);
  if (holder.empty() && planned != planned_.end())
    holder = HolderAmong(planned->second, entry, "meant for it in this run");
  return holder.empty() ? SavedHolder(label, entry).holder : holder;
}

}  // namespace library
