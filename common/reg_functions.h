// The registry operations of Mailvane over the registry layer. A value is a variant: text (type
// 1), a 32-bit number (type 4), or empty. Nothing here reports a failure to the user.
#ifndef MAILVANE_COMMON_REG_FUNCTIONS_H_
#define MAILVANE_COMMON_REG_FUNCTIONS_H_

#include <cstdint>
#include <string>
#include <variant>

#include "platform/registry/registry.h"

namespace mailvane {

using RegValue = std::variant<std::monostate, std::string, int32_t>;

// Reading half (both programs).
// The two-call size protocol; the platform's code, or -1 for a type other than 1 or 4. The value
// is left as it was on failure (a failed second read of a string empties it).
long ReadRegValue(RegistryReader& registry, HKEY key, const std::string& name, RegValue* value);
// Opens root\path (mask 0x3F, result untested), reads, closes; empty when nothing was read.
RegValue ReadSetting(RegistryReader& registry, HKEY root, const std::string& path,
                     const std::string& name);

// Writing half (server only).
// Type 1: the text with its terminating zero; type 4: 32 bits; other types write nothing and
// return 0.
long WriteRegValue(Registry& registry, HKEY key, const std::string& name, uint32_t type,
                   const RegValue& value);
void CreateRegKey(Registry& registry, HKEY root, const std::string& path);
// Opens root\path without creating it (a missing key writes nothing), writes, closes. The result
// is the open's code when the key could not be opened, else WriteRegValue's.
[[nodiscard]] long WriteSetting(Registry& registry, HKEY root, const std::string& path,
                                const std::string& name, const RegValue& value, uint32_t type);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_REG_FUNCTIONS_H_
