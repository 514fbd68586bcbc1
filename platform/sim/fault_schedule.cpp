#include "platform/sim/fault_schedule.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <set>

namespace tamrik::sim {

namespace {

struct KindInfo {
  FaultKind kind;
  std::string_view name;
  enum Value { None, Serial, Probability, Length, Version, Count } value;
  bool valueRequired;
};

constexpr KindInfo kKinds[] = {
    {FaultKind::Unplug, "unplug", KindInfo::None, false},
    {FaultKind::Replug, "replug", KindInfo::None, false},
    {FaultKind::ReplugAs, "replug-as", KindInfo::Serial, true},
    {FaultKind::SerialChange, "serial-change", KindInfo::Serial, true},
    {FaultKind::Stall, "stall", KindInfo::None, false},
    {FaultKind::Resume, "resume", KindInfo::None, false},
    {FaultKind::Corrupt, "corrupt", KindInfo::Probability, false},
    {FaultKind::Drop, "drop", KindInfo::Probability, false},
    {FaultKind::SignalLoss, "signal-loss", KindInfo::None, false},
    {FaultKind::Signal, "signal", KindInfo::None, false},
    {FaultKind::SignalFlicker, "signal-flicker", KindInfo::Count, false},
    {FaultKind::PllUnlock, "pll-unlock", KindInfo::None, false},
    {FaultKind::PllLock, "pll-lock", KindInfo::None, false},
    {FaultKind::Exclusive, "exclusive", KindInfo::None, false},
    {FaultKind::Shared, "shared", KindInfo::None, false},
    {FaultKind::NoSerial, "no-serial", KindInfo::None, false},
    {FaultKind::SerialOk, "serial-ok", KindInfo::None, false},
    {FaultKind::ShortFeature, "short-feature", KindInfo::Length, false},
    {FaultKind::WideStrings, "wide-strings", KindInfo::None, false},
    {FaultKind::Firmware, "firmware", KindInfo::Version, true},
    {FaultKind::NoAnswer, "no-answer", KindInfo::None, false},
    {FaultKind::Answer, "answer", KindInfo::None, false},
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool validSerial(std::string_view s) {
  if (s.empty() || s.size() > 50) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
           c == '.';
  });
}

template <typename T>
bool parseNumber(std::string_view s, T& out, int base = 10) {
  if (s.empty()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parseProbability(std::string_view s, double& out) {
  if (s.empty() || s.size() > 32) return false;
  const std::string text(s);
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && out >= 0 && out <= 1;
}

std::string knownActions() {
  std::string all;
  for (const auto& k : kKinds) {
    if (!all.empty()) all += ", ";
    all += k.name;
  }
  return all;
}

}  // namespace

std::string_view faultKindName(FaultKind kind) {
  for (const auto& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

FaultSpecResult parseFaultSpec(std::string_view spec) {
  FaultSpecResult result;
  int index = 0;
  std::size_t pos = 0;
  if (trim(spec).empty()) {
    result.error = "--sim-faults: the fault list is empty";
    return result;
  }
  while (pos <= spec.size()) {
    const std::size_t comma = spec.find(',', pos);
    const std::string_view entry = trim(spec.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
    pos = comma == std::string_view::npos ? spec.size() + 1 : comma + 1;
    ++index;
    const auto fail = [&](const std::string& why) {
      result.events.clear();
      result.error = "--sim-faults: entry " + std::to_string(index) + " '" + std::string(entry) + "': " + why;
      return result;
    };
    if (entry.empty()) return fail("empty entry (two commas in a row, or a comma at the end?)");

    const std::size_t colon = entry.find(':');
    if (colon == std::string_view::npos) return fail("expected ACTION:SERIAL[@MS][=VALUE]");
    const std::string_view action = entry.substr(0, colon);
    std::string_view rest = entry.substr(colon + 1);
    const KindInfo* info = nullptr;
    for (const auto& k : kKinds) {
      if (k.name == action) info = &k;
    }
    if (!info) return fail("unknown action '" + std::string(action) + "' (known: " + knownActions() + ")");

    std::string_view value;
    bool hasValue = false;
    if (const std::size_t eq = rest.find('='); eq != std::string_view::npos) {
      value = rest.substr(eq + 1);
      rest = rest.substr(0, eq);
      hasValue = true;
    }
    std::string_view when;
    bool hasWhen = false;
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
      when = rest.substr(at + 1);
      rest = rest.substr(0, at);
      hasWhen = true;
    }

    FaultEvent ev;
    ev.kind = info->kind;
    ev.text = std::string(entry);
    if (!validSerial(rest)) {
      return fail(rest.empty() ? "missing serial number" : "'" + std::string(rest) + "' is not a serial number");
    }
    ev.serial = std::string(rest);
    if (hasWhen) {
      long long ms = 0;
      if (!parseNumber(when, ms) || ms < 0 || ms > 86'400'000) {
        return fail("time '" + std::string(when) + "' is not a whole number of milliseconds from 0 to 86400000");
      }
      ev.at = std::chrono::milliseconds(ms);
    }
    if (hasValue && info->value == KindInfo::None) return fail(std::string(info->name) + " takes no value");
    if (!hasValue && info->valueRequired) return fail(std::string(info->name) + " needs a value (" + std::string(info->name) + ":SERIAL=...)");
    switch (info->value) {
      case KindInfo::None:
        break;
      case KindInfo::Serial:
        if (!validSerial(value)) return fail("'" + std::string(value) + "' is not a serial number");
        ev.newSerial = std::string(value);
        break;
      case KindInfo::Probability:
        ev.probability = 0.01;
        if (hasValue && !parseProbability(value, ev.probability)) {
          return fail("probability '" + std::string(value) + "' is not a number from 0 to 1");
        }
        break;
      case KindInfo::Length:
        ev.number = 16;
        if (hasValue && (!parseNumber(value, ev.number) || ev.number < 1 || ev.number > 64)) {
          return fail("feature report length '" + std::string(value) + "' is not a whole number from 1 to 64");
        }
        break;
      case KindInfo::Count:
        ev.number = 1;
        if (hasValue && (!parseNumber(value, ev.number) || ev.number < 1 || ev.number > 255)) {
          return fail("count '" + std::string(value) + "' is not a whole number from 1 to 255");
        }
        break;
      case KindInfo::Version: {
        const bool hex = value.starts_with("0x") || value.starts_with("0X");
        if (!parseNumber(hex ? value.substr(2) : value, ev.number, hex ? 16 : 10) || ev.number < 0 ||
            ev.number > 0xFFFF) {
          return fail("firmware version '" + std::string(value) + "' is not a number from 0 to 0xFFFF");
        }
        break;
      }
    }
    result.events.push_back(std::move(ev));
  }
  return result;
}

std::string checkFaultSerials(const std::vector<FaultEvent>& events, const std::vector<std::string>& initialSerials) {
  std::vector<const FaultEvent*> order;
  for (const auto& e : events) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const FaultEvent* a, const FaultEvent* b) { return a->at < b->at; });
  std::multiset<std::string> present(initialSerials.begin(), initialSerials.end());
  for (const FaultEvent* e : order) {
    if (!present.contains(e->serial)) {
      std::string names;
      for (const auto& s : present) names += (names.empty() ? "" : ", ") + s;
      return "--sim-faults: '" + e->text + "': no simulated unit carries serial " + e->serial + " at " +
             std::to_string(e->at.count()) + " ms (serials then: " + (names.empty() ? "none" : names) + ")";
    }
    if (e->kind == FaultKind::ReplugAs || e->kind == FaultKind::SerialChange) {
      present.erase(present.find(e->serial));
      present.insert(e->newSerial);
    }
  }
  return {};
}

}  // namespace tamrik::sim
