// The stored form of the provider password: two uppercase hexadecimal digits per character, each
// the sum of the character's code and the code of the key character at its position.
#ifndef MAILVANE_COMMON_SCRAMBLE_H_
#define MAILVANE_COMMON_SCRAMBLE_H_

#include <string>

namespace mailvane {

// Only the first 32 characters take part: position 33 of a password uses key character 1 again.
inline constexpr char kScrambleKey[] = "zr7pqmcx4021w6nebt318kaudhwlfyseQ";
inline constexpr int kScrambleKeyPositions = 32;

// Both work on the bytes of the text (codes 0..255); they keep no state and have no partial
// result: a failure raises before anything is returned.

// Raises MailvaneError 5 when a character cannot be stored (its code plus the key's exceeds 255).
std::string ScramblePassword(const std::string& password);
// Whether ScramblePassword would take the password.
bool CanScramblePassword(const std::string& password);
// Raises MailvaneError (5 for an odd length or an entry below its key code, 13 for a pair that is
// not hexadecimal). Upper- and lower-case digits are read alike.
std::string UnscramblePassword(const std::string& stored);

}  // namespace mailvane

#endif  // MAILVANE_COMMON_SCRAMBLE_H_
