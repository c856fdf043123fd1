// An in-memory registry with the semantics of the file store: the Win32 result codes, the two-call
// size protocol, case-insensitive names, handles that snapshot a key's values when opened, write
// access checked at open. Test helpers set and read raw values, make the store read-only, count
// writes and make a chosen write fail. Key paths given to the helpers lie below
// HKEY_LOCAL_MACHINE ("SOFTWARE\\Mailvane"). One thread at a time.
#ifndef MAILVANE_PLATFORM_REGISTRY_TESTING_FAKE_REGISTRY_H_
#define MAILVANE_PLATFORM_REGISTRY_TESTING_FAKE_REGISTRY_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry/registry.h"
#include "platform/registry/store_file.h"

namespace mailvane {

// What a failed write returns unless a test names another code (Win32 ERROR_WRITE_FAULT).
inline constexpr long kFakeWriteFault = 29;

class FakeRegistry : public Registry {
 public:
  FakeRegistry() = default;

  long RegOpenKeyEx(HKEY root, const std::string& sub_key, uint32_t options, uint32_t sam_desired,
                    HKEY* result) override;
  long RegQueryValueEx(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override;
  long RegCloseKey(HKEY key) override;
  long RegCreateKeyEx(HKEY root, const std::string& sub_key, uint32_t reserved,
                      const char* key_class, uint32_t options, uint32_t sam_desired,
                      const void* security_attributes, HKEY* result,
                      uint32_t* disposition) override;
  long RegSetValueEx(HKEY key, const std::string& value_name, uint32_t reserved, uint32_t type,
                     const uint8_t* data, uint32_t size) override;

  // Test helpers; they bypass read-only mode, write counting and failure injection.
  // Creates the key (and the keys above it) when missing.
  void CreateKey(const std::string& key_path);
  bool KeyExists(const std::string& key_path) const;
  // Stores the bytes as they are, creating the key when missing.
  void SetRawValue(const std::string& key_path, const std::string& name, uint32_t type,
                   const std::string& data);
  // A type 1 value of the text followed by its terminating zero, as Mailvane writes it.
  void SetStringValue(const std::string& key_path, const std::string& name,
                      const std::string& text);
  void SetDwordValue(const std::string& key_path, const std::string& name, uint32_t number);
  // The stored value; nullopt when the key or the value is missing.
  std::optional<StoredValue> GetRawValue(const std::string& key_path,
                                         const std::string& name) const;
  const Store& store() const { return store_; }

  // Read-only: opening or creating with a write mask fails with ERROR_ACCESS_DENIED.
  void set_read_only(bool read_only) { read_only_ = read_only; }
  // Successful RegSetValueEx calls, and RegCreateKeyEx calls that created their key.
  int value_writes() const { return value_writes_; }
  int keys_created() const { return keys_created_; }
  // The n-th (1-based, counted from now) RegSetValueEx that would succeed returns code instead
  // and stores nothing; later ones succeed again.
  void FailNthWrite(int n, long code = kFakeWriteFault);
  // Handles opened and not yet closed (to check that callers close what they open).
  size_t open_handles() const { return handles_.size(); }

 private:
  std::string FullPath(const std::string& key_path) const;

  Store store_;
  KeyHandles handles_;
  bool read_only_ = false;
  int value_writes_ = 0;
  int keys_created_ = 0;
  int writes_until_failure_ = 0;  // 0: no failure planned
  long failure_code_ = kFakeWriteFault;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_REGISTRY_TESTING_FAKE_REGISTRY_H_
