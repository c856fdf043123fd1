// A key's settings as one table: per value its name in the store, the record's field that holds
// it, its kind, its first-run default and the sentence that refuses a value it cannot take.
// Loads, defaults, validation and writes walk the table, so a new setting is one new row. Every
// value is stored as text (a string with its terminator); a record holds each value as text,
// empty when missing, a password plain and a folder ending in its separator.
//
// The walkers over the reading half (loads) link with the reading library; those that check,
// scramble or write link with the writing one.
#ifndef MAILVANE_COMMON_SETTINGS_TABLE_H_
#define MAILVANE_COMMON_SETTINGS_TABLE_H_

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "common/reg_functions.h"

namespace mailvane {

enum class SettingKind {
  kText,         // any text
  kNumber,       // a text that reads as a number (ParseNumber), with no range
  kWholeNumber,  // a text that reads as a number and is a whole number within [low, high]
  kFlag,         // "1" on, "0" off
  kFolder,       // a folder; held with a trailing separator ("/" added to one without)
  kAddressList,  // an IP allow-list (AllowList::LoadAllowedIPs takes all of it)
  kPassword,     // held plain, stored scrambled
};

// A step that a program's load never reads.
inline constexpr int kNotLoaded = -1;

template <typename Record>
struct SettingRow {
  const char* name;  // the value's name in the store
  std::string Record::*field;
  SettingKind kind = SettingKind::kText;
  const char* default_value = nullptr;  // what a first run writes; nullptr: nothing
  const char* refusal = nullptr;        // a value that is not of the kind
  const char* missing = nullptr;        // an empty value; nullptr: empty is taken
  long low = 0;                         // kWholeNumber: the range ...
  long high = 0;
  const char* out_of_range = nullptr;  // ... and the sentence for a number outside it
  bool in_dialog = false;              // edited (and saved) by the key's settings dialog
  // Where the value stands in each program's load: rows are read in ascending step, in table
  // order among equal steps; kNotLoaded leaves the field as it was.
  int server_step = 0;
  int handler_step = 0;
};

template <typename Record>
struct SettingsKey {
  const char* path;  // under HKEY_LOCAL_MACHINE
  std::span<const SettingRow<Record>> rows;
};

// The program whose order a load follows.
enum class SettingsReader { kServer, kHandler };

// One value as stored: its text without the terminator a string was stored with (one stored
// without keeps every character), a number (type 4) in decimal, empty when nothing was read.
std::string ReadSettingText(RegistryReader& registry, const char* key, const std::string& name);

// A stored value as a record holds it: a password unscrambled (SettingError 13 or 5 naming the
// setting when the stored text is not scrambled), a folder with its separator, the rest as read.
std::string HeldSettingText(SettingKind kind, const char* name, const std::string& stored);

// Fills the rows' fields in the reader's order. An error ends the load at that row; the fields
// read before it keep their new values.
template <typename Record>
void LoadSettingsKey(RegistryReader& registry, const SettingsKey<Record>& key,
                     SettingsReader reader, Record* record) {
  int SettingRow<Record>::*step = reader == SettingsReader::kServer
                                      ? &SettingRow<Record>::server_step
                                      : &SettingRow<Record>::handler_step;
  std::vector<const SettingRow<Record>*> order;
  for (const SettingRow<Record>& row : key.rows) {
    if (row.*step != kNotLoaded) order.push_back(&row);
  }
  std::stable_sort(order.begin(), order.end(),
                   [step](const auto* a, const auto* b) { return a->*step < b->*step; });
  for (const SettingRow<Record>* row : order) {
    record->*(row->field) =
        HeldSettingText(row->kind, row->name, ReadSettingText(registry, key.path, row->name));
  }
}

// The record a first run writes: each row's default, the other fields empty.
template <typename Record>
Record DefaultSettings(const SettingsKey<Record>& key) {
  Record record{};
  for (const SettingRow<Record>& row : key.rows) {
    if (row.default_value != nullptr) record.*(row.field) = row.default_value;
  }
  return record;
}

// What a row's check asks of a value, in the order validation asks it of every row: its form
// (numbers, flags), its presence, then its content (a password that scrambles, an allow-list that
// parses).
enum class SettingCheck { kForm, kPresence, kContent };
inline constexpr SettingCheck kSettingChecks[] = {SettingCheck::kForm, SettingCheck::kPresence,
                                                  SettingCheck::kContent};

// The part of a row that judges a value.
struct SettingRule {
  SettingKind kind;
  const char* refusal;
  const char* missing;
  long low;
  long high;
  const char* out_of_range;
};

// The sentence that refuses the value on that check, or nullptr when the rule takes it.
const char* RefuseSettingText(const SettingRule& rule, SettingCheck check,
                              const std::string& value);

template <typename Record>
const char* RefuseSetting(const SettingRow<Record>& row, SettingCheck check,
                          const std::string& value) {
  return RefuseSettingText(
      SettingRule{row.kind, row.refusal, row.missing, row.low, row.high, row.out_of_range}, check,
      value);
}

// The first refusal among the rows that pass the filter: every row's form first, then every
// row's presence, then every row's content, each in table order. nullptr when all are taken.
template <typename Record, typename Filter>
const char* ValidateSettings(const SettingsKey<Record>& key, const Record& record, Filter filter) {
  for (SettingCheck check : kSettingChecks) {
    for (const SettingRow<Record>& row : key.rows) {
      if (!filter(row)) continue;
      if (const char* refusal = RefuseSetting(row, check, record.*(row.field))) return refusal;
    }
  }
  return nullptr;
}

// A held value as it is stored: a password scrambled (a password that cannot be scrambled raises
// MailvaneError; validation refuses one first), everything else as held.
std::string StoredSettingText(SettingKind kind, const std::string& held);

// Writes the rows that pass the filter, in table order, each as a string value of an existing
// key. A failed write does not stop the others; the result is the first failure's code, else
// ERROR_SUCCESS.
template <typename Record, typename Filter>
[[nodiscard]] long WriteSettings(Registry& registry, const SettingsKey<Record>& key,
                                 const Record& record, Filter filter) {
  long first_failure = ERROR_SUCCESS;
  for (const SettingRow<Record>& row : key.rows) {
    if (!filter(row)) continue;
    const long code =
        WriteSetting(registry, HKEY_LOCAL_MACHINE, key.path, row.name,
                     RegValue(StoredSettingText(row.kind, record.*(row.field))), REG_SZ);
    if (code != ERROR_SUCCESS && first_failure == ERROR_SUCCESS) first_failure = code;
  }
  return first_failure;
}

// What setting one named value came to: refused (nothing written), or written with the store's
// code.
struct SettingWrite {
  std::string refusal;  // the sentence of a refused value; empty when the value was taken
  long code = ERROR_SUCCESS;
  bool written() const { return refusal.empty() && code == ERROR_SUCCESS; }
};

// The sentence for a name the key does not hold.
std::string UnknownSettingRefusal(const char* key, const std::string& name);

// Checks one value as its row says and writes it (creating the key when it is missing), for an
// administrator's command that sets a single value. A value that needs others to be judged (a
// password and its confirmation) is judged on its own.
template <typename Record>
[[nodiscard]] SettingWrite SetNamedSetting(Registry& registry, const SettingsKey<Record>& key,
                                           const std::string& name, const std::string& value) {
  auto row = std::find_if(key.rows.begin(), key.rows.end(),
                          [&name](const SettingRow<Record>& r) { return name == r.name; });
  if (row == key.rows.end()) return SettingWrite{UnknownSettingRefusal(key.path, name)};
  for (SettingCheck check : kSettingChecks) {
    if (const char* refusal = RefuseSetting(*row, check, value)) return SettingWrite{refusal};
  }
  CreateRegKey(registry, HKEY_LOCAL_MACHINE, key.path);
  Record record{};
  record.*(row->field) = value;
  return SettingWrite{"", WriteSettings(registry, key, record, [&row](const SettingRow<Record>& r) {
                        return &r == &*row;
                      })};
}

}  // namespace mailvane

#endif  // MAILVANE_COMMON_SETTINGS_TABLE_H_
