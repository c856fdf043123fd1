#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>

#include "platform/files/file_system.h"

namespace mailvane {
namespace {

mode_t ModeOf(FileReaders readers) {
  switch (readers) {
    case FileReaders::kOwnerOnly:
      return 0600;
    case FileReaders::kEveryone:
      return 0644;
    case FileReaders::kOwnerAndGroup:
      break;
  }
  return 0640;
}

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// Closes a descriptor on every path out of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports what close reported (a late write error shows up here).
  std::error_code Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? std::error_code() : LastError();
  }

 private:
  int fd_;
};

// Writes all of data, going on after a short write or an interrupted call.
std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

TimePoint ModifiedOf(const struct stat& st) {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// rename without replacing; where the file system lacks RENAME_NOREPLACE, link and unlink give
// the same promise (link fails with EEXIST).
std::error_code RenameNoReplace(int dir_fd, const std::string& from, const std::string& to) {
  if (::renameat2(dir_fd, from.c_str(), dir_fd, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return LastError();
  if (::linkat(dir_fd, from.c_str(), dir_fd, to.c_str(), 0) != 0) return LastError();
  ::unlinkat(dir_fd, from.c_str(), 0);
  return {};
}

// Names an unnamed file by its descriptor where the kernel allows that to anyone (Linux 6.10 on);
// elsewhere through /proc/self/fd, which costs a walk through /proc for every file.
std::error_code LinkUnnamed(int fd, int dir_fd, const std::string& name) {
  static std::atomic<bool> by_descriptor{true};
  if (by_descriptor.load(std::memory_order_relaxed)) {
    if (::linkat(fd, "", dir_fd, name.c_str(), AT_EMPTY_PATH) == 0) return {};
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return LastError();  // EEXIST too
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, path.c_str(), dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return LastError();
  by_descriptor.store(false, std::memory_order_relaxed);  // refused for want of a capability
  return {};
}

// The files of one WriteFilesSynced: each written and on its way to disk, then all synced, then
// each given its final name, then (for an unnamed file) its inode synced again, since a file
// system without a journal writes the link count that the name needs only with the inode. What
// is left when it is destroyed before Finish succeeded is taken back: unnamed files vanish with
// their descriptors, temporary names and final names given so far are removed.
class PendingFiles {
 public:
  explicit PendingFiles(int dir_fd) : dir_fd_(dir_fd) {}
  PendingFiles(const PendingFiles&) = delete;
  PendingFiles& operator=(const PendingFiles&) = delete;
  ~PendingFiles() {
    for (size_t i = files_.size(); i > 0; --i) {
      const Pending& file = files_[i - 1];
      if (!finished_ && file.placed) ::unlinkat(dir_fd_, file.final_name.c_str(), 0);
      if (!file.placed && file.named) ::unlinkat(dir_fd_, file.temp_name.c_str(), 0);
      ::close(file.fd);
    }
  }

  // Writes one file, unnamed where the file system allows, else under its temporary name. When
  // more are to follow, its writeback starts now, so that the syncs of all the files overlap.
  std::error_code Write(const FileWrite& file, mode_t mode, bool more_follow) {
    // Unnamed files only where /proc/self/fd is there to name them, should the kernel refuse.
    static const bool can_link_unnamed = ::access("/proc/self/fd", X_OK) == 0;
    bool named = !can_link_unnamed;
    int fd = named ? -1 : ::openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (named || (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR))) {  // no unnamed files here
      named = true;
      fd = ::openat(dir_fd_, file.temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    if (fd < 0) return LastError();  // EEXIST: someone else's temporary, left alone
    files_.push_back({fd, named, false, file.temp_name, file.final_name});
    if (std::error_code ec = WriteAll(fd, file.data)) return ec;
    if (more_follow) ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // a hint: fsync promises
    return {};
  }

  std::error_code SyncAll() {
    for (const Pending& file : files_) {
      if (::fsync(file.fd) != 0) return LastError();
    }
    return {};
  }

  // Gives file i its final name, without replacing (EEXIST).
  std::error_code Place(size_t i, const FileWrite& file) {
    Pending& pending = files_[i];
    if (pending.named) {
      if (std::error_code ec = RenameNoReplace(dir_fd_, file.temp_name, file.final_name)) return ec;
    } else if (std::error_code ec = LinkUnnamed(pending.fd, dir_fd_, file.final_name)) {
      return ec;
    }
    pending.placed = true;
    return {};
  }

  std::error_code Finish() {
    for (const Pending& file : files_) {
      if (!file.named && ::fsync(file.fd) != 0) return LastError();
    }
    finished_ = true;
    return {};
  }

 private:
  struct Pending {
    int fd;
    bool named;
    bool placed;
    std::string temp_name;
    std::string final_name;
  };
  int dir_fd_;
  bool finished_ = false;
  std::vector<Pending> files_;
};

class PosixFileSystem final : public FileSystem {
 public:
  ~PosixFileSystem() override { CloseAppended(); }

  // The file last appended to stays open for the next line to the same path, so that a log
  // written a line at a time is not opened and closed for every line. It is opened again once it
  // has no name left (removed, or replaced by a rename), so that lines never go to a file no one
  // can find.
  std::error_code AppendLine(const std::string& path, std::string_view text) override {
    if (append_fd_ >= 0) {
      struct stat st {};
      if (path != append_path_ || ::fstat(append_fd_, &st) != 0 || st.st_nlink == 0)
        CloseAppended();
    }
    if (append_fd_ < 0) {
      append_fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
      if (append_fd_ < 0) return LastError();
      append_path_ = path;
    }
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    // One write(2) carries the whole line; O_APPEND makes it land at the end as one piece.
    std::error_code ec = WriteAll(append_fd_, line);
    if (ec) CloseAppended();  // the next line starts afresh
    return ec;
  }

  bool FolderExists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool FileExists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  std::error_code CreateFolder(const std::string& path) override {
    return ::mkdir(path.c_str(), 0750) == 0 ? std::error_code() : LastError();
  }

  std::error_code ListFiles(const std::string& folder, std::vector<FileInfo>* files) override {
    files->clear();
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return LastError();
    int dir_fd = ::dirfd(dir);
    std::error_code result;
    for (;;) {
      errno = 0;
      struct dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) result = LastError();
        break;
      }
      // The entry's type, where the file system gives it, spares the stat of what is not a file.
      if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
      struct stat st {};
      if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since it was listed
        result = LastError();
        break;
      }
      if (!S_ISREG(st.st_mode)) continue;  // folders, links, devices
      files->push_back({entry->d_name, ModifiedOf(st)});
    }
    ::closedir(dir);
    if (result) files->clear();
    return result;
  }

  std::error_code DeleteFile(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? std::error_code() : LastError();
  }

  std::error_code WriteFileDurably(const std::string& folder, const std::string& temp_name,
                                   const std::string& final_name, std::string_view data,
                                   FileReaders readers) override {
    {
      ScopedFd dir(
          ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (dir.get() < 0) return LastError();
      if (std::error_code ec = WriteTemp(dir.get(), temp_name, data, ModeOf(readers))) return ec;
      if (std::error_code ec = RenameNoReplace(dir.get(), temp_name, final_name)) {
        ::unlinkat(dir.get(), temp_name.c_str(), 0);
        return ec;
      }
    }
    if (std::error_code ec = SyncFolder(folder)) {
      // The name may not be on disk: take it back, so that a failure always means "no file".
      ::unlink(JoinPath(folder, final_name).c_str());
      return ec;
    }
    return {};
  }

  std::error_code WriteFilesSynced(const std::string& folder, const std::vector<FileWrite>& files,
                                   FileReaders readers) override {
    ScopedFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return LastError();
    PendingFiles pending(dir.get());
    for (size_t i = 0; i < files.size(); ++i) {
      if (std::error_code ec = pending.Write(files[i], ModeOf(readers), i + 1 < files.size()))
        return ec;
    }
    if (std::error_code ec = pending.SyncAll()) return ec;
    for (size_t i = 0; i < files.size(); ++i) {
      if (std::error_code ec = pending.Place(i, files[i])) return ec;
    }
    return pending.Finish();
  }

  std::error_code SyncFolder(const std::string& folder) override {
    ScopedFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return LastError();
    return ::fsync(dir.get()) == 0 ? std::error_code() : LastError();
  }

  std::error_code ReplaceFileDurably(const std::string& folder, const std::string& temp_name,
                                     const std::string& final_name, std::string_view data,
                                     FileReaders readers) override {
    ScopedFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return LastError();
    ::unlinkat(dir.get(), temp_name.c_str(), 0);  // a temporary left by a crash
    std::error_code ec = WriteTemp(dir.get(), temp_name, data, ModeOf(readers));
    if (ec) return ec;
    struct stat old {};
    if (::geteuid() == 0 && ::fstatat(dir.get(), final_name.c_str(), &old, 0) == 0 &&
        ::fchownat(dir.get(), temp_name.c_str(), old.st_uid, old.st_gid, 0) != 0) {
      // Best effort: the file stays readable by root.
    }
    if (::renameat(dir.get(), temp_name.c_str(), dir.get(), final_name.c_str()) != 0) {
      ec = LastError();
      ::unlinkat(dir.get(), temp_name.c_str(), 0);
      return ec;
    }
    return ::fsync(dir.get()) == 0 ? std::error_code() : LastError();
  }

  std::error_code ReadFile(const std::string& path, size_t max_size,
                           std::string* contents) override {
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return LastError();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return LastError();
    if (static_cast<uint64_t>(st.st_size) > max_size)
      return std::error_code(EFBIG, std::generic_category());
    contents->clear();
    char buffer[8192];
    for (;;) {
      ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
      if (n < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      if (n == 0) break;
      if (contents->size() + static_cast<size_t>(n) > max_size) {
        return std::error_code(EFBIG, std::generic_category());
      }
      contents->append(buffer, static_cast<size_t>(n));
    }
    return {};
  }

  std::error_code SetCurrentFolder(const std::string& path) override {
    CloseAppended();  // a relative path may now name another file
    return ::chdir(path.c_str()) == 0 ? std::error_code() : LastError();
  }

 private:
  void CloseAppended() {
    if (append_fd_ >= 0) ::close(append_fd_);
    append_fd_ = -1;
    append_path_.clear();
  }

  static std::error_code WriteTemp(int dir_fd, const std::string& temp_name, std::string_view data,
                                   mode_t mode) {
    int raw = ::openat(dir_fd, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (raw < 0) return LastError();  // EEXIST: someone else's file, left alone
    ScopedFd fd(raw);
    std::error_code ec = WriteAll(fd.get(), data);
    if (!ec && ::fsync(fd.get()) != 0) ec = LastError();
    if (!ec) ec = fd.Close();
    if (ec) ::unlinkat(dir_fd, temp_name.c_str(), 0);
    return ec;
  }

  int append_fd_ = -1;  // open for appends to append_path_
  std::string append_path_;
};

}  // namespace

std::unique_ptr<FileSystem> NewPosixFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  std::string path(buffer, static_cast<size_t>(length));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace mailvane
