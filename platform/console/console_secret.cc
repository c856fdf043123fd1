#include "platform/console/console_secret.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/base/ascii.h"
#include "platform/files/file_system.h"

namespace mailvane {
namespace {

constexpr size_t kSecretBytes = 32;

std::string Hex(const unsigned char* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

bool IsSecretText(const std::string& text) {
  return text.size() == kSecretBytes * 2 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

}  // namespace

std::string ConsoleSecretPath(const std::string& registry_store_path) {
  return (std::filesystem::path(registry_store_path).parent_path() / "console.secret").string();
}

std::string RandomToken() {
  unsigned char bytes[kSecretBytes];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return "";
    }
    filled += static_cast<size_t>(got);
  }
  return Hex(bytes, sizeof bytes);
}

std::error_code LoadOrCreateConsoleSecret(const std::string& path, std::string* secret) {
  if (path.empty()) return std::make_error_code(std::errc::invalid_argument);
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    std::string created = RandomToken();
    if (created.empty()) return std::error_code(errno, std::system_category());
    // The file layer's one durable write: the secret appears whole and owner-only, or not at all.
    const std::filesystem::path file(path);
    const std::string name = file.filename().string();
    const std::string temp = "." + name + ".tmp";
    ::unlink((file.parent_path() / temp).c_str());  // left by a start that crashed
    std::error_code written = NewPosixFileSystem()->WriteFileDurably(
        file.parent_path().string(), temp, name, created + "\n", FileReaders::kOwnerOnly);
    if (written != std::errc::file_exists) {
      if (!written) *secret = created;
      return written;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);  // another start's secret
  }
  if (fd < 0) return std::error_code(errno, std::system_category());
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int saved = errno;
    ::close(fd);
    return std::error_code(saved, std::system_category());
  }
  if (!S_ISREG(info.st_mode) || (info.st_mode & 077) != 0) {
    ::close(fd);
    return std::make_error_code(std::errc::permission_denied);  // open to others: not a secret
  }
  char buffer[256];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  int saved = errno;
  ::close(fd);
  if (got < 0) return std::error_code(saved, std::system_category());
  std::string text(buffer, static_cast<size_t>(got));
  while (!text.empty() && IsAsciiWhitespace(text.back())) text.pop_back();
  if (!IsSecretText(text)) return std::make_error_code(std::errc::illegal_byte_sequence);
  *secret = AsciiLowered(text);
  return {};
}

}  // namespace mailvane
