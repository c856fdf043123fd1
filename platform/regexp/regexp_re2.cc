#include <re2/re2.h>

#include "platform/regexp/regexp.h"

namespace mailvane {
namespace {

class Re2RegExp final : public RegExp {
 public:
  void SetPattern(const std::string& pattern) override {
    pattern_ = pattern;
    compiled_.reset();
  }
  void SetGlobal(bool global) override { global_ = global; }
  void SetIgnoreCase(bool ignore_case) override {
    ignore_case_ = ignore_case;
    compiled_.reset();
  }

  bool Test(const std::string& text) override {
    if (!compiled_) {
      RE2::Options options;
      options.set_case_sensitive(!ignore_case_);
      options.set_log_errors(false);
      compiled_ = std::make_unique<RE2>(pattern_, options);
    }
    return compiled_->ok() && RE2::PartialMatch(text, *compiled_);
  }

 private:
  std::string pattern_;
  bool global_ = false;
  bool ignore_case_ = false;
  std::unique_ptr<RE2> compiled_;
};

}  // namespace

std::unique_ptr<RegExp> NewRegExp() { return std::make_unique<Re2RegExp>(); }

}  // namespace mailvane
