// The part of the file registry that both halves share: reading the store file, deciding whether
// this process may replace it, and the open, query and close calls. Not thread-safe.
#ifndef MAILVANE_PLATFORM_REGISTRY_FILE_STORE_POSIX_H_
#define MAILVANE_PLATFORM_REGISTRY_FILE_STORE_POSIX_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry/registry.h"
#include "platform/registry/store_file.h"

namespace mailvane {

// A store file larger than this is read only this far (and counts as damaged).
inline constexpr size_t kMaxStoreFileBytes = 16 * 1024 * 1024;

// Win32 codes for failures of file operations.
inline constexpr long kErrorWriteFault = 29;
inline constexpr long kErrorReadFault = 30;
inline constexpr long kErrorDiskFull = 112;
// The Win32 code of an errno value; fallback for errors without a closer match.
long Win32FromErrno(int err, long fallback);

class FileStore {
 public:
  explicit FileStore(std::string path);
  FileStore(const FileStore&) = delete;
  FileStore& operator=(const FileStore&) = delete;

  const std::string& path() const { return path_; }
  // The folder that holds the store file ("." for a bare file name).
  const std::string& folder() const { return folder_; }
  KeyHandles& handles() { return handles_; }

  // Reads and parses the store file. A missing file is an empty store. On failure (a file that
  // may not be read, say) *raw and *parsed are left empty.
  long Load(std::string* raw, ParsedStore* parsed) const;
  // Whether this process (by its effective ids) may replace the store file: the file, when it
  // exists, and its folder (or the nearest folder above that exists) are writable.
  bool MayWrite() const;

  // RegOpenKeyEx: the key's values are read once, when it is opened.
  long Open(HKEY root, const std::string& sub_key, uint32_t sam_desired, HKEY* result);
  long Query(HKEY key, const std::string& value_name, uint32_t* type, uint8_t* data,
             uint32_t* size);
  long Close(HKEY key);

 private:
  std::string path_;
  std::string folder_;
  KeyHandles handles_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_REGISTRY_FILE_STORE_POSIX_H_
