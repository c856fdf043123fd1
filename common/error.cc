#include "common/error.h"

#include <cerrno>

namespace mailvane {

std::string StandardMessageText(int number) {
  // One line per case: the switch reads as the table it is.
  // clang-format off
  switch (number) {
    case 3: return "Return without GoSub";
    case 5: return "Invalid procedure call or argument";
    case 6: return "Overflow";
    case 7: return "Out of memory";
    case 9: return "Subscript out of range";
    case 11: return "Division by zero";
    case 13: return "Type mismatch";
    case 28: return "Out of stack space";
    case 52: return "Bad file name or number";
    case 53: return "File not found";
    case 54: return "Bad file mode";
    case 55: return "File already open";
    case 57: return "Device I/O error";
    case 58: return "File already exists";
    case 61: return "Disk full";
    case 62: return "Input past end of file";
    case 67: return "Too many files";
    case 68: return "Device unavailable";
    case 70: return "Permission denied";
    case 71: return "Disk not ready";
    case 74: return "Can't rename with different drive";
    case 75: return "Path/File access error";
    case 76: return "Path not found";
    case 91: return "Object variable or With block variable not set";
    case 424: return "Object required";
    case 429: return "ActiveX component can't create object";
    case 438: return "Object doesn't support this property or method";
    case 440: return "Automation error";
    case 462: return "The remote server machine does not exist or is unavailable";
    // The socket control's numbers and texts.
    case kErrSocketInterrupted: return "Interrupted system call";
    case kErrSocketPermission: return "Permission denied";
    case kErrSocketInvalidArgument: return "Invalid argument";
    case kErrSocketTooManyFiles: return "Too many open files";
    case kErrSocketFamily: return "Address family not supported";
    case kErrSocketAddressInUse: return "Address in use";
    case kErrSocketAddressNotAvailable: return "Address not available";
    case kErrSocketNetworkDown: return "Network is down";
    case kErrSocketNetworkUnreachable: return "Network is unreachable";
    case kErrSocketNoBuffers: return "No buffer space available";
    default: return "Application-defined or object-defined error";
  }
  // clang-format on
}

MailvaneError::MailvaneError(int number) : MailvaneError(number, StandardMessageText(number)) {}

MailvaneError::MailvaneError(int number, std::string description, std::string source)
    : std::runtime_error(description),
      number_(number),
      description_(std::move(description)),
      source_(std::move(source)) {}

int FileErrorNumber(int posix_errno) {
  // One line per case: the switch reads as the table it is.
  // clang-format off
  switch (posix_errno) {
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR:
    case ELOOP: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrPermissionDenied;
    case EEXIST: return kErrFileExists;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case ENOMEM: return kErrOutOfMemory;
    case ENAMETOOLONG:
    case EINVAL: return kErrBadFileName;
    case EMFILE:
    case ENFILE: return kErrTooManyFiles;
    case ENODEV:
    case ENXIO: return kErrDeviceUnavailable;
    case EISDIR:
    case ENOTEMPTY:
    case EBUSY:
    case ETXTBSY: return kErrPathFileAccess;
    case EXDEV: return kErrRenameAcrossDrives;
    default: return kErrDeviceIo;  // EIO and what the platform has no nearer number for
  }
  // clang-format on
}

int SocketErrorNumber(int posix_errno) {
  // One line per case: the switch reads as the table it is.
  // clang-format off
  switch (posix_errno) {
    case EINTR: return kErrSocketInterrupted;
    case EACCES:
    case EPERM: return kErrSocketPermission;
    case EINVAL: return kErrSocketInvalidArgument;
    case EMFILE:
    case ENFILE: return kErrSocketTooManyFiles;
    case EAFNOSUPPORT: return kErrSocketFamily;
    case EADDRINUSE: return kErrSocketAddressInUse;
    case EADDRNOTAVAIL: return kErrSocketAddressNotAvailable;
    case ENETDOWN: return kErrSocketNetworkDown;
    case ENETUNREACH: return kErrSocketNetworkUnreachable;
    case ENOBUFS:
    case ENOMEM: return kErrSocketNoBuffers;
    default: return FileErrorNumber(posix_errno);
  }
  // clang-format on
}

}  // namespace mailvane
