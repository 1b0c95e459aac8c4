#include "write_gate.h"

namespace library {
namespace {

std::string ExpirationHint(const std::vector<DataSetFound>& data_sets) {
  for (const DataSetFound& set : data_sets)
    if (!set.kept_until.empty() && !set.kept_until.starts_with("expires ")) return "--ignore-expiration overwrites it";
  return "--expired-by DATE or --ignore-expiration overwrites it";
}

// Condition 5: a data set kept, or one that may lie where nobody could read.
std::string Expiration(const GateEvidence& evidence) {
  std::string kept = KeptDataSets(evidence.data_sets);
  if (!kept.empty()) return "holds unexpired data: " + kept + "; " + ExpirationHint(evidence.data_sets);
  if (evidence.ignore_expiration) return "";
  if (!evidence.map_stopped.empty()) {
    return "the map stopped at an unreadable block (" + evidence.map_stopped +
           "), so what lies past it cannot be judged; --ignore-expiration overwrites it";
  }
  if (evidence.ascii_seen && !evidence.ascii_judged) {
    return "ASCII labels; expiration not judged; --ignore-expiration overwrites it";
  }
  return "";
}

}  // namespace

GateDecision Gate(const GateEvidence& evidence) {
  if (!evidence.cartridge.empty()) return {GateCondition::kCartridge, evidence.cartridge + "; not written"};
  if (!evidence.removal.empty()) {
    return {GateCondition::kRemoval,
            "the drive cannot prevent the tape's removal (" + evidence.removal + "); not written"};
  }
  if (evidence.set_seen && !evidence.backup.empty()) return {GateCondition::kBackup, evidence.backup};
  if (evidence.beyond_set && !evidence.map.empty()) return {GateCondition::kMap, evidence.map};
  std::string expiration = Expiration(evidence);
  if (!expiration.empty()) return {GateCondition::kExpiration, expiration};
  if (!evidence.holder.empty()) return {GateCondition::kHolder, evidence.holder};
  return {};
}

}  // namespace library
