// The registry calls Mailvane makes, over one store file (see store_file.h for its format). Calls
// return Win32 result codes. A key handle is valid from a successful open or create until
// RegCloseKey. One thread at a time per object; several processes may share one store file.
#ifndef MAILVANE_PLATFORM_REGISTRY_REGISTRY_H_
#define MAILVANE_PLATFORM_REGISTRY_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/loop/clock.h"

namespace mailvane {

using HKEY = uintptr_t;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;  // no such key or value
inline constexpr long ERROR_ACCESS_DENIED = 5;   // the store may not be written (or read)
inline constexpr long ERROR_INVALID_HANDLE = 6;  // a handle that is not open (0, say)
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_MORE_DATA = 234;  // the data buffer is too small; size holds the need

inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ALL_ACCESS_3F = 0x003F;  // what every Mailvane open asks for

inline constexpr uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// The reading half: all the queue handler links.
class RegistryReader {
 public:
  RegistryReader() = default;
  RegistryReader(const RegistryReader&) = delete;
  RegistryReader& operator=(const RegistryReader&) = delete;
  virtual ~RegistryReader() = default;

  // Opens root\sub_key. An access mask that asks to write (KEY_SET_VALUE, KEY_CREATE_SUB_KEY)
  // fails with ERROR_ACCESS_DENIED where the store may not be written. *result is 0 on failure.
  virtual long RegOpenKeyEx(HKEY root, const std::string& sub_key, uint32_t options,
                            uint32_t sam_desired, HKEY* result) = 0;
  // The two-call size protocol: with data null, *size receives the value's size in bytes; with a
  // buffer, *size carries its capacity in and the data size out (ERROR_MORE_DATA when too small).
  // type may be null.
  virtual long RegQueryValueEx(HKEY key, const std::string& value_name, uint32_t* type,
                               uint8_t* data, uint32_t* size) = 0;
  virtual long RegCloseKey(HKEY key) = 0;
};

class Registry : public RegistryReader {
 public:
  // Creates root\sub_key and missing keys above it, or opens it when it exists.
  virtual long RegCreateKeyEx(HKEY root, const std::string& sub_key, uint32_t reserved,
                              const char* key_class, uint32_t options, uint32_t sam_desired,
                              const void* security_attributes, HKEY* result,
                              uint32_t* disposition) = 0;
  // Stores size bytes of data under value_name with the type, replacing any value of that name.
  // The key must have been opened with KEY_SET_VALUE. The store file is replaced atomically.
  virtual long RegSetValueEx(HKEY key, const std::string& value_name, uint32_t reserved,
                             uint32_t type, const uint8_t* data, uint32_t size) = 0;
};

// The store file's path: MAILVANE_REGISTRY, or /var/lib/mailvane/registry.reg.
std::string RegistryStorePath();

std::unique_ptr<RegistryReader> NewFileRegistryReader(const std::string& store_path);
// Opening snapshots the key's values; queries read that snapshot, writes through the handle
// update it. A damaged store file is copied to <store>.damaged-<local yyyymmddhhmmss> before it
// is first written over; clock gives that time (the system clock when none is given).
std::unique_ptr<Registry> NewFileRegistry(const std::string& store_path);
std::unique_ptr<Registry> NewFileRegistry(const std::string& store_path, const Clock& clock);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_REGISTRY_REGISTRY_H_
