// The console's sign-in secret and the random tokens of its sessions, both from the kernel's
// random source.
#ifndef MAILVANE_PLATFORM_CONSOLE_CONSOLE_SECRET_H_
#define MAILVANE_PLATFORM_CONSOLE_CONSOLE_SECRET_H_

#include <string>
#include <system_error>

namespace mailvane {

// Reads the secret from path, or creates it there (32 random bytes, hex, mode 0600). Fails when
// the file cannot be created or read, when it is open to others than its owner, or when it does
// not hold a secret of 64 hex digits. The secret is returned in lower case.
std::error_code LoadOrCreateConsoleSecret(const std::string& path, std::string* secret);

// Where the secret is kept: "console.secret" beside the registry store file.
std::string ConsoleSecretPath(const std::string& registry_store_path);

// 32 random bytes in lower-case hex; empty when the kernel has none to give.
std::string RandomToken();

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_CONSOLE_CONSOLE_SECRET_H_
