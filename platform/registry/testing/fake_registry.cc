#include "platform/registry/testing/fake_registry.h"

#include <utility>

namespace mailvane {
namespace {

bool AsksToWrite(uint32_t sam) { return (sam & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0; }

}  // namespace

long FakeRegistry::RegOpenKeyEx(HKEY root, const std::string& sub_key, uint32_t /*options*/,
                                uint32_t sam_desired, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  std::string path;
  if (long rc = handles_.Resolve(root, sub_key, &path); rc != ERROR_SUCCESS) return rc;
  if (AsksToWrite(sam_desired) && read_only_) return ERROR_ACCESS_DENIED;
  if (!store_.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  KeyHandles::OpenKey open{
      path, (sam_desired & KEY_SET_VALUE) != 0, (sam_desired & KEY_CREATE_SUB_KEY) != 0, {}};
  if (const StoredKey* key = store_.FindKey(path)) open.values = key->values;
  *result = handles_.Add(std::move(open));
  return ERROR_SUCCESS;
}

long FakeRegistry::RegQueryValueEx(HKEY key, const std::string& value_name, uint32_t* type,
                                   uint8_t* data, uint32_t* size) {
  return handles_.Query(key, value_name, type, data, size);
}

long FakeRegistry::RegCloseKey(HKEY key) {
  return handles_.Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

long FakeRegistry::RegCreateKeyEx(HKEY root, const std::string& sub_key, uint32_t /*reserved*/,
                                  const char* /*key_class*/, uint32_t /*options*/,
                                  uint32_t sam_desired, const void* /*security_attributes*/,
                                  HKEY* result, uint32_t* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  std::string path;
  if (long rc = handles_.Resolve(root, sub_key, &path); rc != ERROR_SUCCESS) return rc;
  if (KeyHandles::OpenKey* parent = handles_.Find(root);
      parent != nullptr && !parent->can_create_sub_key && !store_.KeyExists(path)) {
    return ERROR_ACCESS_DENIED;
  }
  if (read_only_) return ERROR_ACCESS_DENIED;
  bool created = store_.CreateKey(path);
  if (created) ++keys_created_;
  if (disposition != nullptr) {
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  KeyHandles::OpenKey open{
      path, (sam_desired & KEY_SET_VALUE) != 0, (sam_desired & KEY_CREATE_SUB_KEY) != 0, {}};
  if (const StoredKey* key = store_.FindKey(path)) open.values = key->values;
  *result = handles_.Add(std::move(open));
  return ERROR_SUCCESS;
}

long FakeRegistry::RegSetValueEx(HKEY key, const std::string& value_name, uint32_t /*reserved*/,
                                 uint32_t type, const uint8_t* data, uint32_t size) {
  KeyHandles::OpenKey* open = handles_.Find(key);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  if (!open->can_set_value) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  if (!IsValidValueName(value_name)) return ERROR_INVALID_PARAMETER;
  if (writes_until_failure_ > 0 && --writes_until_failure_ == 0) return failure_code_;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  store_.SetValue(open->path, value_name, type, bytes);
  StoredKey snapshot{open->path, std::move(open->values)};
  snapshot.SetValue(value_name, type, std::move(bytes));
  open->values = std::move(snapshot.values);
  ++value_writes_;
  return ERROR_SUCCESS;
}

std::string FakeRegistry::FullPath(const std::string& key_path) const {
  std::string full(RootKeyName(HKEY_LOCAL_MACHINE));
  if (!key_path.empty()) full.append("\\").append(key_path);
  return full;
}

void FakeRegistry::CreateKey(const std::string& key_path) { store_.CreateKey(FullPath(key_path)); }

bool FakeRegistry::KeyExists(const std::string& key_path) const {
  return store_.KeyExists(FullPath(key_path));
}

void FakeRegistry::SetRawValue(const std::string& key_path, const std::string& name, uint32_t type,
                               const std::string& data) {
  std::string full = FullPath(key_path);
  store_.CreateKey(full);
  store_.SetValue(full, name, type, data);
}

void FakeRegistry::SetStringValue(const std::string& key_path, const std::string& name,
                                  const std::string& text) {
  SetRawValue(key_path, name, REG_SZ, text + std::string(1, '\0'));
}

void FakeRegistry::SetDwordValue(const std::string& key_path, const std::string& name,
                                 uint32_t number) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
  SetRawValue(key_path, name, REG_DWORD, bytes);
}

std::optional<StoredValue> FakeRegistry::GetRawValue(const std::string& key_path,
                                                     const std::string& name) const {
  const StoredKey* key = store_.FindKey(FullPath(key_path));
  if (key == nullptr) return std::nullopt;
  const StoredValue* value = key->FindValue(name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

void FakeRegistry::FailNthWrite(int n, long code) {
  writes_until_failure_ = n;
  failure_code_ = code;
}

}  // namespace mailvane
