// The one failure type of Mailvane's own logic: a run-time error with a number and a description,
// raised where a step fails and caught only where Mailvane traps errors (start-up, processing pass,
// event handlers). Layers below report with result codes; their callers raise this type.
#ifndef MAILVANE_COMMON_ERROR_H_
#define MAILVANE_COMMON_ERROR_H_

#include <stdexcept>
#include <string>

namespace mailvane {

// Error numbers that Mailvane raises, with the platform's standard texts (StandardMessageText).
inline constexpr int kErrInvalidCall = 5;
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrOutOfMemory = 7;
inline constexpr int kErrSubscript = 9;
inline constexpr int kErrTypeMismatch = 13;
inline constexpr int kErrBadFileName = 52;
inline constexpr int kErrFileNotFound = 53;
inline constexpr int kErrDeviceIo = 57;
inline constexpr int kErrFileExists = 58;
inline constexpr int kErrDiskFull = 61;
inline constexpr int kErrTooManyFiles = 67;
inline constexpr int kErrDeviceUnavailable = 68;
inline constexpr int kErrPermissionDenied = 70;
inline constexpr int kErrRenameAcrossDrives = 74;
inline constexpr int kErrPathFileAccess = 75;
inline constexpr int kErrPathNotFound = 76;
inline constexpr int kErrObjectRequired = 424;
inline constexpr int kErrCantCreateObject = 429;
inline constexpr int kErrNoSuchMember = 438;
inline constexpr int kErrAutomation = 440;
inline constexpr int kErrServerUnavailable = 462;
// The socket control's numbers, as its errors were numbered on the original platform.
inline constexpr int kErrSocketInterrupted = 10004;
inline constexpr int kErrSocketPermission = 10013;
inline constexpr int kErrSocketInvalidArgument = 10022;
inline constexpr int kErrSocketTooManyFiles = 10024;
inline constexpr int kErrSocketFamily = 10047;
inline constexpr int kErrSocketAddressInUse = 10048;
inline constexpr int kErrSocketAddressNotAvailable = 10049;
inline constexpr int kErrSocketNetworkDown = 10050;
inline constexpr int kErrSocketNetworkUnreachable = 10051;
inline constexpr int kErrSocketNoBuffers = 10055;

// The platform's standard message text for an error number ("Overflow" for 6). Numbers without a
// text of their own give "Application-defined or object-defined error".
std::string StandardMessageText(int number);

class MailvaneError : public std::runtime_error {
 public:
  // The description defaults to the standard text of the number.
  explicit MailvaneError(int number);
  MailvaneError(int number, std::string description, std::string source = "");

  int number() const { return number_; }
  const std::string& description() const { return description_; }
  // The component or program that raised the error ("Vanequeue", "Scripting.FileSystemObject").
  const std::string& source() const { return source_; }

 private:
  int number_;
  std::string description_;
  std::string source_;
};

// Maps an errno-style error of a file operation to the number Mailvane reports for it: the nearest
// of the file errors 52..76 (EMFILE "Too many files", EISDIR "Path/File access error", ...); EIO
// and errors without a nearer number give 57 "Device I/O error".
int FileErrorNumber(int posix_errno);
// Maps an errno-style error of the listener's socket (bind, listen, accept) to the socket
// control's number (EADDRINUSE 10048 "Address in use", EACCES 10013 "Permission denied", ...);
// errors that are not the socket's own take FileErrorNumber's mapping.
int SocketErrorNumber(int posix_errno);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_ERROR_H_
