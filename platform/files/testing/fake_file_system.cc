#include "platform/files/testing/fake_file_system.h"

#include <cerrno>

namespace mailvane {
namespace {

std::error_code Error(int error) { return std::error_code(error, std::generic_category()); }

}  // namespace

FakeFileSystem::FakeFileSystem(const Clock* clock) : clock_(clock) { nodes_["/"].folder = true; }

std::string FakeFileSystem::Normalise(const std::string& path) const {
  std::string full = (!path.empty() && path[0] == '/') ? path : current_ + "/" + path;
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= full.size()) {
    size_t slash = full.find('/', start);
    if (slash == std::string::npos) slash = full.size();
    std::string part = full.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

std::string FakeFileSystem::Parent(const std::string& normalised) {
  size_t slash = normalised.rfind('/');
  return slash == 0 ? "/" : normalised.substr(0, slash);
}

bool FakeFileSystem::TakeFault(Fault* fault, int* error) {
  if (fault->countdown == 0) return false;
  if (--fault->countdown != 0) return false;
  *error = fault->error;
  return true;
}

int FakeFileSystem::CheckParent(const std::string& normalised) const {
  auto parent = nodes_.find(Parent(normalised));
  if (parent == nodes_.end()) return ENOENT;
  if (!parent->second.folder) return ENOTDIR;
  if (!parent->second.writable) return EACCES;
  return 0;
}

TimePoint FakeFileSystem::Now() const { return clock_ ? clock_->Now() : TimePoint(); }

void FakeFileSystem::AddFolder(const std::string& path) {
  std::string normalised = Normalise(path);
  if (normalised != "/") AddFolder(Parent(normalised));
  nodes_[normalised].folder = true;
}

void FakeFileSystem::AddFile(const std::string& path, std::string contents, TimePoint modified) {
  std::string normalised = Normalise(path);
  AddFolder(Parent(normalised));
  Node& node = nodes_[normalised];
  node.folder = false;
  node.contents = std::move(contents);
  node.modified = modified;
}

void FakeFileSystem::SetModified(const std::string& path, TimePoint modified) {
  auto it = nodes_.find(Normalise(path));
  if (it != nodes_.end()) it->second.modified = modified;
}

void FakeFileSystem::SetFolderWritable(const std::string& path, bool writable) {
  auto it = nodes_.find(Normalise(path));
  if (it != nodes_.end()) it->second.writable = writable;
}

void FakeFileSystem::FailAppendLine(int nth, int error) { append_fault_ = {nth, error}; }
void FakeFileSystem::FailWriteFileDurably(int nth, int error) { write_fault_ = {nth, error}; }
void FakeFileSystem::FailDeleteFile(int nth, int error) { delete_fault_ = {nth, error}; }
void FakeFileSystem::FailSyncFolder(int nth, int error) { sync_fault_ = {nth, error}; }

std::optional<std::string> FakeFileSystem::Contents(const std::string& path) const {
  auto it = nodes_.find(Normalise(path));
  if (it == nodes_.end() || it->second.folder) return std::nullopt;
  return it->second.contents;
}

std::vector<std::string> FakeFileSystem::FileNames(const std::string& folder) const {
  std::vector<std::string> names;
  std::string normalised = Normalise(folder);
  for (const auto& [path, node] : nodes_) {
    if (!node.folder && path != "/" && Parent(path) == normalised) {
      names.push_back(path.substr(path.rfind('/') + 1));
    }
  }
  return names;
}

std::error_code FakeFileSystem::AppendLine(const std::string& path, std::string_view text) {
  ++append_calls_;
  int error = 0;
  if (TakeFault(&append_fault_, &error)) return Error(error);
  std::string normalised = Normalise(path);
  auto it = nodes_.find(normalised);
  if (it != nodes_.end() && it->second.folder) return Error(EISDIR);
  if (int check = CheckParent(normalised)) return Error(check);
  Node& node = nodes_[normalised];
  node.contents.append(text);
  node.contents.append("\r\n");
  node.modified = Now();
  return {};
}

bool FakeFileSystem::FolderExists(const std::string& path) {
  auto it = nodes_.find(Normalise(path));
  return it != nodes_.end() && it->second.folder;
}

bool FakeFileSystem::FileExists(const std::string& path) {
  auto it = nodes_.find(Normalise(path));
  return it != nodes_.end() && !it->second.folder;
}

std::error_code FakeFileSystem::CreateFolder(const std::string& path) {
  std::string normalised = Normalise(path);
  if (nodes_.count(normalised)) return Error(EEXIST);
  if (int check = CheckParent(normalised)) return Error(check);
  nodes_[normalised].folder = true;
  return {};
}

std::error_code FakeFileSystem::ListFiles(const std::string& folder, std::vector<FileInfo>* files) {
  files->clear();
  std::string normalised = Normalise(folder);
  auto it = nodes_.find(normalised);
  if (it == nodes_.end()) return Error(ENOENT);
  if (!it->second.folder) return Error(ENOTDIR);
  for (const std::string& name : FileNames(normalised)) {
    std::string path = normalised == "/" ? "/" + name : normalised + "/" + name;
    files->push_back({name, nodes_.at(path).modified});
  }
  return {};
}

std::error_code FakeFileSystem::DeleteFile(const std::string& path) {
  ++delete_calls_;
  int error = 0;
  if (TakeFault(&delete_fault_, &error)) return Error(error);
  std::string normalised = Normalise(path);
  auto it = nodes_.find(normalised);
  if (it == nodes_.end()) return Error(ENOENT);
  if (it->second.folder) return Error(EISDIR);
  if (int check = CheckParent(normalised)) return Error(check);
  nodes_.erase(it);
  return {};
}

std::error_code FakeFileSystem::WriteDurably(const std::string& folder,
                                             const std::string& temp_name,
                                             const std::string& final_name, std::string_view data,
                                             bool replace, bool check_temp) {
  int error = 0;
  if (TakeFault(&write_fault_, &error)) return Error(error);
  std::string normalised = Normalise(folder);
  auto dir = nodes_.find(normalised);
  if (dir == nodes_.end()) return Error(ENOENT);
  if (!dir->second.folder) return Error(ENOTDIR);
  if (!dir->second.writable) return Error(EACCES);
  std::string prefix = normalised == "/" ? "/" : normalised + "/";
  // A temporary of that name is someone else's file, unless this write may replace (its own).
  if (!replace && check_temp && nodes_.count(Normalise(prefix + temp_name))) return Error(EEXIST);
  std::string final_path = Normalise(prefix + final_name);
  auto existing = nodes_.find(final_path);
  if (existing != nodes_.end() && (!replace || existing->second.folder)) {
    return Error(existing->second.folder ? EISDIR : EEXIST);
  }
  if (int check = CheckParent(final_path)) return Error(check);
  Node& node = nodes_[final_path];
  node.contents.assign(data);
  node.modified = Now();
  return {};
}

std::error_code FakeFileSystem::WriteFileDurably(const std::string& folder,
                                                 const std::string& temp_name,
                                                 const std::string& final_name,
                                                 std::string_view data, FileReaders) {
  return WriteDurably(folder, temp_name, final_name, data, false);
}

std::error_code FakeFileSystem::WriteFilesSynced(const std::string& folder,
                                                 const std::vector<FileWrite>& files, FileReaders) {
  std::string prefix = Normalise(folder) + "/";
  for (size_t i = 0; i < files.size(); ++i) {
    const FileWrite& file = files[i];
    if (std::error_code ec =
            WriteDurably(folder, file.temp_name, file.final_name, file.data, false, false)) {
      while (i > 0) nodes_.erase(Normalise(prefix + files[--i].final_name));
      return ec;
    }
  }
  return {};
}

std::error_code FakeFileSystem::SyncFolder(const std::string& folder) {
  ++sync_calls_;
  if (sync_hook_) sync_hook_();
  int error = 0;
  if (TakeFault(&sync_fault_, &error)) return Error(error);
  auto dir = nodes_.find(Normalise(folder));
  if (dir == nodes_.end()) return Error(ENOENT);
  return dir->second.folder ? std::error_code() : Error(ENOTDIR);
}

std::error_code FakeFileSystem::ReplaceFileDurably(const std::string& folder,
                                                   const std::string& temp_name,
                                                   const std::string& final_name,
                                                   std::string_view data, FileReaders) {
  return WriteDurably(folder, temp_name, final_name, data, true);
}

std::error_code FakeFileSystem::ReadFile(const std::string& path, size_t max_size,
                                         std::string* contents) {
  auto it = nodes_.find(Normalise(path));
  if (it == nodes_.end()) return Error(ENOENT);
  if (it->second.folder) return Error(EISDIR);
  if (it->second.contents.size() > max_size) return Error(EFBIG);
  *contents = it->second.contents;
  return {};
}

std::error_code FakeFileSystem::SetCurrentFolder(const std::string& path) {
  std::string normalised = Normalise(path);
  auto it = nodes_.find(normalised);
  if (it == nodes_.end()) return Error(ENOENT);
  if (!it->second.folder) return Error(ENOTDIR);
  current_ = normalised;
  return {};
}

}  // namespace mailvane
