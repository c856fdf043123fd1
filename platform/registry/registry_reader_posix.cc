// The reading half of the file registry: what the queue handler links. It has no write calls.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/registry/file_store_posix.h"
#include "platform/registry/registry.h"

namespace mailvane {
namespace {

constexpr char kDefaultStorePath[] = "/var/lib/mailvane/registry.reg";

bool AsksToWrite(uint32_t sam) { return (sam & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0; }

bool Writable(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

class FileRegistryReader : public RegistryReader {
 public:
  explicit FileRegistryReader(std::string path) : store_(std::move(path)) {}

  long RegOpenKeyEx(HKEY root, const std::string& sub_key, uint32_t /*options*/,
                    uint32_t sam_desired, HKEY* result) override {
    return store_.Open(root, sub_key, sam_desired, result);
  }
  long RegQueryValueEx(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override {
    return store_.Query(key, value_name, type, data, size);
  }
  long RegCloseKey(HKEY key) override { return store_.Close(key); }

 private:
  FileStore store_;
};

}  // namespace

long Win32FromErrno(int err, long fallback) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    default:
      return fallback;
  }
}

FileStore::FileStore(std::string path) : path_(std::move(path)) {
  folder_ = std::filesystem::path(path_).parent_path().string();
  if (folder_.empty()) folder_ = ".";
}

long FileStore::Load(std::string* raw, ParsedStore* parsed) const {
  raw->clear();
  *parsed = ParsedStore();
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ERROR_SUCCESS : Win32FromErrno(errno, kErrorReadFault);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  std::string bytes;
  char buffer[64 * 1024];
  bool cut = false;
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      return Win32FromErrno(err, kErrorReadFault);
    }
    if (n == 0) break;
    size_t room = kMaxStoreFileBytes - bytes.size();
    bytes.append(buffer, std::min(static_cast<size_t>(n), room));
    if (static_cast<size_t>(n) > room) {
      cut = true;
      break;
    }
  }
  close(fd);
  *parsed = ParseStoreFile(bytes);
  if (cut) ++parsed->bad_lines;
  *raw = std::move(bytes);
  return ERROR_SUCCESS;
}

bool FileStore::MayWrite() const {
  std::filesystem::path folder(folder_);
  if (access(path_.c_str(), F_OK) == 0) return Writable(path_) && Writable(folder_);
  // The writer creates missing folders: the nearest one that exists must take them.
  std::error_code ec;
  while (!std::filesystem::exists(folder, ec)) {
    if (!folder.has_parent_path() || folder.parent_path() == folder) return false;
    folder = folder.parent_path();
  }
  return Writable(folder.string());
}

long FileStore::Open(HKEY root, const std::string& sub_key, uint32_t sam_desired, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = 0;
  std::string full;
  if (long rc = handles_.Resolve(root, sub_key, &full); rc != ERROR_SUCCESS) return rc;
  if (AsksToWrite(sam_desired) && !MayWrite()) return ERROR_ACCESS_DENIED;
  std::string raw;
  ParsedStore parsed;
  if (long rc = Load(&raw, &parsed); rc != ERROR_SUCCESS) return rc;
  if (!parsed.store.KeyExists(full)) return ERROR_FILE_NOT_FOUND;
  KeyHandles::OpenKey open{
      full, (sam_desired & KEY_SET_VALUE) != 0, (sam_desired & KEY_CREATE_SUB_KEY) != 0, {}};
  if (const StoredKey* key = parsed.store.FindKey(full)) open.values = key->values;
  *result = handles_.Add(std::move(open));
  return ERROR_SUCCESS;
}

long FileStore::Query(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
                      uint32_t* size) {
  return handles_.Query(key, value_name, type, data, size);
}

long FileStore::Close(HKEY key) {
  return handles_.Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::string RegistryStorePath() {
  const char* path = std::getenv("MAILVANE_REGISTRY");
  return (path != nullptr && *path != '\0') ? path : kDefaultStorePath;
}

std::unique_ptr<RegistryReader> NewFileRegistryReader(const std::string& store_path) {
  return std::make_unique<FileRegistryReader>(store_path);
}

}  // namespace mailvane
