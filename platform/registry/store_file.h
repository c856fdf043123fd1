// The registry store: its keys and values in memory, and the text file that holds them.
//
// File format (the plain-text registry export):
//   REGEDIT4                                  ("Windows Registry Editor Version 5.00" also read)
//   <blank line>
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Mailvane]    one section per key, full path with its root
//   "Name"="text"          type 1 stored with one terminating zero and no control characters;
//                          \" and \\ are escaped, bytes >= 0x80 are written as they are
//   "Name"=dword:0000001e  type 4 of exactly 4 bytes
//   "Name"=hex:41,42       type 3; any other type or form: "Name"=hex(N):.. with N in hex,
//                          the bytes as stored (a string's terminator shows as 00)
//   @=...                  the key's default value (empty name)
// Lines starting with ';' are comments; hex lists may continue over lines ending in '\'. CR LF
// line ends are read as LF. A file starting with a UTF-16LE byte order mark is read as UTF-16.
//
// Key and value names compare case-insensitively (ASCII letters), and keep the case they were
// first written with. Reading never fails: lines that cannot be read are skipped and counted.
#ifndef MAILVANE_PLATFORM_REGISTRY_STORE_FILE_H_
#define MAILVANE_PLATFORM_REGISTRY_STORE_FILE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace mailvane {

// True when two key or value names are the same name.
bool RegistryNamesEqual(std::string_view a, std::string_view b);

// "HKEY_LOCAL_MACHINE" for HKEY_LOCAL_MACHINE and so on; empty for a handle that is no root.
std::string_view RootKeyName(HKEY root);

struct StoredValue {
  std::string name;
  uint32_t type = REG_NONE;
  std::string data;  // the bytes as stored

  bool operator==(const StoredValue&) const = default;
};

struct StoredKey {
  std::string path;  // full path, root name first: HKEY_LOCAL_MACHINE\SOFTWARE\Mailvane
  std::vector<StoredValue> values;

  const StoredValue* FindValue(std::string_view name) const;
  // Replaces the value of that name (keeping the name's first case) or appends it.
  void SetValue(std::string_view name, uint32_t type, std::string data);

  bool operator==(const StoredKey&) const = default;
};

class Store {
 public:
  const std::vector<StoredKey>& keys() const { return keys_; }

  const StoredKey* FindKey(std::string_view path) const;
  StoredKey* FindKey(std::string_view path);
  // A key exists when it is a root, has a section of its own, or lies above a key that has one.
  bool KeyExists(std::string_view path) const;
  // Makes path exist, adding sections for it and for the keys above it that do not exist yet.
  // Returns true when path did not exist before. path must be valid (IsValidKeyPath).
  bool CreateKey(std::string_view path);
  // The key's own section, added (without the keys above it) when it has none.
  StoredKey* AddSection(std::string_view path);
  // Sets a value, giving the key a section of its own when it has none.
  void SetValue(std::string_view path, std::string_view name, uint32_t type, std::string data);

  bool operator==(const Store&) const = default;

 private:
  std::vector<StoredKey> keys_;
};

// A full key path that the file can hold: a root name, then non-empty names separated by '\',
// none holding CR or LF.
bool IsValidKeyPath(std::string_view path);
// A value name that the file can hold: no LF.
bool IsValidValueName(std::string_view name);

struct ParsedStore {
  Store store;
  bool bad_header = false;  // the first line is not one of the two headers
  int bad_lines = 0;        // lines skipped because they could not be read

  // A damaged file is kept aside before it is written over.
  bool damaged() const { return bad_header || bad_lines > 0; }
};

// Reads a store file's bytes. An empty text is an empty, undamaged store.
ParsedStore ParseStoreFile(std::string_view text);
// The file text of a store (LF line ends, long hex lists wrapped as regedit wraps them).
std::string SerializeStore(const Store& store);

// Open key handles: small nonzero numbers, each with the key's path and its values as they were
// when it was opened (queries read that snapshot; writes through the handle update it).
class KeyHandles {
 public:
  struct OpenKey {
    std::string path;
    bool can_set_value = false;
    bool can_create_sub_key = false;
    std::vector<StoredValue> values;
  };

  KeyHandles() = default;
  KeyHandles(const KeyHandles&) = delete;
  KeyHandles& operator=(const KeyHandles&) = delete;

  // The full path of sub_key below root (a root or an open handle): ERROR_SUCCESS,
  // ERROR_INVALID_HANDLE for an unknown root, ERROR_INVALID_PARAMETER for a path the file cannot
  // hold. One trailing '\' is ignored; an empty sub_key names root itself.
  long Resolve(HKEY root, const std::string& sub_key, std::string* full_path) const;
  HKEY Add(OpenKey key);
  OpenKey* Find(HKEY key);
  bool Remove(HKEY key);
  // RegQueryValueEx on the open key's values: ERROR_INVALID_HANDLE for a key not open.
  long Query(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
             uint32_t* size);
  size_t size() const { return open_.size(); }

 private:
  std::map<HKEY, OpenKey> open_;
  HKEY next_ = 1;
};

// The query half of RegQueryValueEx over one value (null: no such value, ERROR_FILE_NOT_FOUND),
// with the two-call size protocol.
long QueryStoredValue(const StoredValue* value, uint32_t* type, uint8_t* data, uint32_t* size);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_REGISTRY_STORE_FILE_H_
