// The full file registry: the reading half plus key creation and value writes. Every write takes
// an exclusive flock on <store>.lock, re-reads the file, applies its change and replaces the
// store by the file system's one durable write (temporary file, sync, rename, folder sync), so
// that readers (who take no lock) see the old file or the new one, and writers in other
// processes never lose each other's changes. A damaged file is copied aside, by the same write,
// before it is first replaced.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/files/file_system.h"
#include "platform/loop/clock.h"
#include "platform/registry/file_store_posix.h"
#include "platform/registry/registry.h"

namespace mailvane {
namespace {

// Damaged copies made within one second get a counter; this many are tried.
constexpr int kMaxDamagedCopiesPerSecond = 100;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Creates the folder and the missing folders above it, owner only.
long MakeFolders(const std::string& folder) {
  std::filesystem::path path(folder);
  std::filesystem::path partial;
  for (const auto& part : path) {
    partial /= part;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      return Win32FromErrno(errno, kErrorWriteFault);
    }
  }
  return ERROR_SUCCESS;
}

class FileRegistry : public Registry {
 public:
  FileRegistry(std::string path, const Clock& clock)
      : store_(std::move(path)), files_(NewPosixFileSystem()), clock_(clock) {}
  FileRegistry(std::string path, std::unique_ptr<Clock> owned)
      : store_(std::move(path)),
        files_(NewPosixFileSystem()),
        owned_clock_(std::move(owned)),
        clock_(*owned_clock_) {}

  long RegOpenKeyEx(HKEY root, const std::string& sub_key, uint32_t /*options*/,
                    uint32_t sam_desired, HKEY* result) override {
    return store_.Open(root, sub_key, sam_desired, result);
  }
  long RegQueryValueEx(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override {
    return store_.Query(key, value_name, type, data, size);
  }
  long RegCloseKey(HKEY key) override { return store_.Close(key); }

  long RegCreateKeyEx(HKEY root, const std::string& sub_key, uint32_t /*reserved*/,
                      const char* /*key_class*/, uint32_t /*options*/, uint32_t sam_desired,
                      const void* /*security_attributes*/, HKEY* result,
                      uint32_t* disposition) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = 0;
    std::string full;
    if (long rc = store_.handles().Resolve(root, sub_key, &full); rc != ERROR_SUCCESS) return rc;
    KeyHandles::OpenKey* parent = store_.handles().Find(root);
    if (!store_.MayWrite()) return ERROR_ACCESS_DENIED;
    bool created = false;
    KeyHandles::OpenKey open{
        full, (sam_desired & KEY_SET_VALUE) != 0, (sam_desired & KEY_CREATE_SUB_KEY) != 0, {}};
    long rc = Change([&](Store& store, bool* changed) {
      if (!store.KeyExists(full)) {
        if (parent != nullptr && !parent->can_create_sub_key) return ERROR_ACCESS_DENIED;
        created = *changed = store.CreateKey(full);
      }
      if (const StoredKey* key = store.FindKey(full)) open.values = key->values;
      return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition != nullptr) {
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = store_.handles().Add(std::move(open));
    return ERROR_SUCCESS;
  }

  long RegSetValueEx(HKEY key, const std::string& value_name, uint32_t /*reserved*/, uint32_t type,
                     const uint8_t* data, uint32_t size) override {
    KeyHandles::OpenKey* open = store_.handles().Find(key);
    if (open == nullptr) return ERROR_INVALID_HANDLE;
    if (!open->can_set_value) return ERROR_ACCESS_DENIED;
    if ((data == nullptr && size > 0) || !IsValidValueName(value_name)) {
      return ERROR_INVALID_PARAMETER;
    }
    std::string bytes(reinterpret_cast<const char*>(data), size);
    // A key removed from the file since it was opened gets its section back.
    long rc = Change([&](Store& store, bool* changed) {
      store.SetValue(open->path, value_name, type, bytes);
      open->values = store.FindKey(open->path)->values;
      *changed = true;
      return ERROR_SUCCESS;
    });
    return rc;
  }

 private:
  using Mutation = std::function<long(Store&, bool* changed)>;

  // Read-modify-write under the lock; the file is replaced only when the mutation changed it.
  long Change(const Mutation& mutation) {
    if (long rc = MakeFolders(store_.folder()); rc != ERROR_SUCCESS) return rc;
    std::string lock_path = store_.path() + ".lock";
    Fd lock(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.get() < 0) return Win32FromErrno(errno, kErrorWriteFault);
    while (flock(lock.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return Win32FromErrno(errno, kErrorWriteFault);
    }
    std::string raw;
    ParsedStore parsed;
    if (long rc = store_.Load(&raw, &parsed); rc != ERROR_SUCCESS) return rc;
    bool changed = false;
    if (long rc = mutation(parsed.store, &changed); rc != ERROR_SUCCESS) return rc;
    if (!changed) return ERROR_SUCCESS;
    if (parsed.damaged()) {
      if (long rc = KeepDamagedCopy(raw); rc != ERROR_SUCCESS) return rc;
    }
    return Replace(SerializeStore(parsed.store));
  }

  long KeepDamagedCopy(const std::string& raw) {
    LocalDateTime now = clock_.LocalNow();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", now.year, now.month, now.day,
                  now.hour, now.minute, now.second);
    const std::string base = StoreName() + ".damaged-" + stamp;
    for (int i = 1; i <= kMaxDamagedCopiesPerSecond; ++i) {
      const std::string name = i == 1 ? base : base + "-" + std::to_string(i);
      const std::string temp = TempName();
      unlink((store_.folder() + "/" + temp).c_str());  // left by a process of the same id
      std::error_code ec =
          files_->WriteFileDurably(store_.folder(), temp, name, raw, FileReaders::kOwnerOnly);
      if (ec == std::errc::file_exists) continue;
      return ec ? Win32FromErrno(ec.value(), kErrorWriteFault) : ERROR_SUCCESS;
    }
    return kErrorWriteFault;
  }

  long Replace(const std::string& text) {
    std::error_code ec = files_->ReplaceFileDurably(store_.folder(), TempName(), StoreName(), text,
                                                    FileReaders::kOwnerOnly);
    return ec ? Win32FromErrno(ec.value(), kErrorWriteFault) : ERROR_SUCCESS;
  }

  std::string StoreName() const { return std::filesystem::path(store_.path()).filename().string(); }
  // Per process, so that writers in two processes never share a temporary file.
  std::string TempName() const { return "." + StoreName() + ".tmp-" + std::to_string(getpid()); }

  FileStore store_;
  std::unique_ptr<FileSystem> files_;
  std::unique_ptr<Clock> owned_clock_;
  const Clock& clock_;
};

}  // namespace

std::unique_ptr<Registry> NewFileRegistry(const std::string& store_path) {
  return std::make_unique<FileRegistry>(store_path, NewSystemClock());
}

std::unique_ptr<Registry> NewFileRegistry(const std::string& store_path, const Clock& clock) {
  return std::make_unique<FileRegistry>(store_path, clock);
}

}  // namespace mailvane
