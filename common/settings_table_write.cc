#include <optional>

#include "common/allow_list.h"
#include "common/convert.h"
#include "common/scramble.h"
#include "common/settings_table.h"

namespace mailvane {

const char* RefuseSettingText(const SettingRule& rule, SettingCheck check,
                              const std::string& value) {
  const SettingKind kind = rule.kind;
  switch (check) {
    case SettingCheck::kForm:
      if (kind == SettingKind::kNumber && !IsNumeric(value)) return rule.refusal;
      if (kind == SettingKind::kFlag && value != "0" && value != "1") return rule.refusal;
      if (kind == SettingKind::kWholeNumber) {
        if (!IsNumeric(value)) return rule.refusal;
        // What reads as a number but is no whole number in range: a fraction, an exponent, a
        // bound passed.
        std::optional<int32_t> number = ToWholeNumber(value);
        if (!number || *number < rule.low || *number > rule.high) return rule.out_of_range;
      }
      return nullptr;
    case SettingCheck::kPresence:
      return rule.missing != nullptr && value.empty() ? rule.missing : nullptr;
    case SettingCheck::kContent:
      if (kind == SettingKind::kPassword && !CanScramblePassword(value)) return rule.refusal;
      if (kind == SettingKind::kAddressList && AllowList().LoadAllowedIPs(value) == 0) {
        return rule.refusal;
      }
      return nullptr;
  }
  return nullptr;
}

std::string StoredSettingText(SettingKind kind, const std::string& held) {
  return kind == SettingKind::kPassword ? ScramblePassword(held) : held;
}

std::string UnknownSettingRefusal(const char* key, const std::string& name) {
  return "There is no setting " + name + " under " + key + "...";
}

}  // namespace mailvane
