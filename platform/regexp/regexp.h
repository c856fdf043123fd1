// A regular expression, in place of the platform's regular-expression object: set the pattern
// and options, then Test texts. Patterns run in time linear in the text (RE2), so no address can
// make a test slow. An invalid pattern matches nothing. One thread at a time per object.
#ifndef MAILVANE_PLATFORM_REGEXP_REGEXP_H_
#define MAILVANE_PLATFORM_REGEXP_REGEXP_H_

#include <memory>
#include <string>

namespace mailvane {

class RegExp {
 public:
  RegExp() = default;
  RegExp(const RegExp&) = delete;
  RegExp& operator=(const RegExp&) = delete;
  virtual ~RegExp() = default;

  virtual void SetPattern(const std::string& pattern) = 0;
  // Global has no effect on Test; kept for the callers' form.
  virtual void SetGlobal(bool global) = 0;
  virtual void SetIgnoreCase(bool ignore_case) = 0;
  // Whether the pattern matches somewhere in the text. In the pattern, \w is [A-Za-z0-9_].
  virtual bool Test(const std::string& text) = 0;
};

std::unique_ptr<RegExp> NewRegExp();

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_REGEXP_REGEXP_H_
