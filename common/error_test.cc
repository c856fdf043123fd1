#include "common/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace mailvane {
namespace {

struct ErrnoCase {
  int posix_errno;
  int file_number;
  int socket_number;
  const char* socket_text;
};

// What an administrator reads in an error mail for each failure of a file or of the listener.
TEST(ErrorNumbers, ErrnoMapsToTheNumberAndTextOfItsKind) {
  const ErrnoCase cases[] = {
      {EADDRINUSE, kErrDeviceIo, 10048, "Address in use"},
      {EACCES, kErrPermissionDenied, 10013, "Permission denied"},
      {EADDRNOTAVAIL, kErrDeviceIo, 10049, "Address not available"},
      {EMFILE, kErrTooManyFiles, 10024, "Too many open files"},
      {ENOBUFS, kErrDeviceIo, 10055, "No buffer space available"},
      {ENOENT, kErrFileNotFound, kErrFileNotFound, "File not found"},
      {ENOSPC, kErrDiskFull, kErrDiskFull, "Disk full"},
      {EISDIR, kErrPathFileAccess, kErrPathFileAccess, "Path/File access error"},
      {EXDEV, kErrRenameAcrossDrives, kErrRenameAcrossDrives, "Can't rename with different drive"},
      {EIO, kErrDeviceIo, kErrDeviceIo, "Device I/O error"},
  };
  for (const ErrnoCase& c : cases) {
    SCOPED_TRACE(c.posix_errno);
    EXPECT_EQ(FileErrorNumber(c.posix_errno), c.file_number);
    EXPECT_EQ(SocketErrorNumber(c.posix_errno), c.socket_number);
    EXPECT_EQ(StandardMessageText(SocketErrorNumber(c.posix_errno)), c.socket_text);
  }
}

TEST(ErrorNumbers, EveryMappedNumberHasAStandardTextOfItsOwn) {
  const std::string fallback = StandardMessageText(-1);
  for (int e = 1; e < 134; ++e) {
    SCOPED_TRACE(e);
    EXPECT_NE(StandardMessageText(FileErrorNumber(e)), fallback);
    EXPECT_NE(StandardMessageText(SocketErrorNumber(e)), fallback);
  }
}

}  // namespace
}  // namespace mailvane
