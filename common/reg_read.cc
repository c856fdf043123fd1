#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/reg_functions.h"

namespace mailvane {

long ReadRegValue(RegistryReader& registry, HKEY key, const std::string& name, RegValue* value) {
  uint32_t type = REG_NONE;
  uint32_t size = 0;
  long rc = registry.RegQueryValueEx(key, name, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type == REG_SZ) {
    std::vector<uint8_t> buffer(size, 0);
    rc = registry.RegQueryValueEx(key, name, &type, buffer.data(), &size);
    if (rc == ERROR_SUCCESS) {
      std::string text;
      size_t n = std::min<size_t>(size, buffer.size());
      if (n > 0) text.assign(reinterpret_cast<const char*>(buffer.data()), n);
      *value = std::move(text);
    } else {
      *value = RegValue();
    }
    return rc;
  }
  if (type == REG_DWORD) {
    // The reported size is passed on as the capacity, bounded by the number's 4 bytes: a longer
    // value fails with ERROR_MORE_DATA, a shorter one fills the low bytes.
    uint8_t bytes[sizeof(int32_t)] = {};
    uint32_t capacity = std::min<uint32_t>(size, sizeof bytes);
    rc = registry.RegQueryValueEx(key, name, &type, bytes, &capacity);
    if (rc == ERROR_SUCCESS) {
      uint32_t number = 0;
      for (int i = 3; i >= 0; --i) number = (number << 8) | bytes[i];
      *value = static_cast<int32_t>(number);
    }
    return rc;
  }
  return -1;
}

RegValue ReadSetting(RegistryReader& registry, HKEY root, const std::string& path,
                     const std::string& name) {
  HKEY key = 0;
  registry.RegOpenKeyEx(root, path, 0, KEY_ALL_ACCESS_3F, &key);
  RegValue value;
  ReadRegValue(registry, key, name, &value);
  registry.RegCloseKey(key);
  return value;
}

}  // namespace mailvane
