// The full file registry: the reading half plus key creation and value writes. Every write takes
// an exclusive flock on <store>.lock, re-reads the file, applies its change, writes a temporary
// file in the same folder, syncs it, renames it over the store and syncs the folder, so that
// readers (who take no lock) see the old file or the new one, and writers in other processes
// never lose each other's changes. A damaged file is copied aside before it is first replaced.
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

long WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Win32FromErrno(errno, kErrorWriteFault);
    done += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

long SyncFolder(const std::string& folder) {
  Fd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return Win32FromErrno(errno, kErrorWriteFault);
  if (fsync(fd.get()) != 0) return Win32FromErrno(errno, kErrorWriteFault);
  return ERROR_SUCCESS;
}

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
  FileRegistry(std::string path, const Clock& clock) : store_(std::move(path)), clock_(clock) {}
  FileRegistry(std::string path, std::unique_ptr<Clock> owned)
      : store_(std::move(path)), owned_clock_(std::move(owned)), clock_(*owned_clock_) {}

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
    std::string base = store_.path() + ".damaged-" + stamp;
    for (int i = 1; i <= kMaxDamagedCopiesPerSecond; ++i) {
      std::string name = i == 1 ? base : base + "-" + std::to_string(i);
      Fd fd(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (fd.get() < 0 && errno == EEXIST) continue;
      if (fd.get() < 0) return Win32FromErrno(errno, kErrorWriteFault);
      if (long rc = WriteAll(fd.get(), raw); rc != ERROR_SUCCESS) return rc;
      if (fsync(fd.get()) != 0) return Win32FromErrno(errno, kErrorWriteFault);
      return ERROR_SUCCESS;
    }
    return kErrorWriteFault;
  }

  long Replace(const std::string& text) {
    std::string name = std::filesystem::path(store_.path()).filename().string();
    std::string temp = store_.folder() + "/." + name + ".tmp-" + std::to_string(getpid());
    unlink(temp.c_str());  // left by a process of the same id that died mid-write
    Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) return Win32FromErrno(errno, kErrorWriteFault);
    long rc = WriteAll(fd.get(), text);
    if (rc == ERROR_SUCCESS && fsync(fd.get()) != 0) rc = Win32FromErrno(errno, kErrorWriteFault);
    // The store keeps its owner when root rewrites another user's file.
    struct stat old {};
    if (rc == ERROR_SUCCESS && geteuid() == 0 && stat(store_.path().c_str(), &old) == 0) {
      if (fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
        // Best effort: the store stays readable by root.
      }
    }
    if (close(fd.Release()) != 0 && rc == ERROR_SUCCESS) {
      rc = Win32FromErrno(errno, kErrorWriteFault);
    }
    if (rc == ERROR_SUCCESS && rename(temp.c_str(), store_.path().c_str()) != 0) {
      rc = Win32FromErrno(errno, kErrorWriteFault);
    }
    if (rc != ERROR_SUCCESS) {
      unlink(temp.c_str());
      return rc;
    }
    return SyncFolder(store_.folder());
  }

  FileStore store_;
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
