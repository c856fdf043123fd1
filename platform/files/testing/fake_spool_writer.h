// A SpoolWriter for tests: files live in memory under "folder/final_name", and done runs inside
// Write (or, with HoldCompletions, when the test releases it), always on the caller's thread.
// A write is one mail's files, all stored or none. Faults: fail the Nth write, or every write,
// with a chosen error; a write one of whose final names is taken gets EEXIST and leaves the
// stored files untouched, as the real writer does.
#ifndef MAILVANE_PLATFORM_FILES_TESTING_FAKE_SPOOL_WRITER_H_
#define MAILVANE_PLATFORM_FILES_TESTING_FAKE_SPOOL_WRITER_H_

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files/spool_writer.h"

namespace mailvane {

class FakeSpoolWriter final : public SpoolWriter {
 public:
  using SpoolWriter::Write;
  void Write(std::string folder, std::vector<SpoolFile> files,
             std::function<void(std::error_code)> done) override {
    ++writes_;
    last_names_.clear();
    for (const SpoolFile& file : files) last_names_.push_back(file.temp_name + ">" + file.final_name);
    std::error_code result;
    if (fail_all_ || writes_ == fail_write_number_) {
      result = fault_;
    } else {
      for (const SpoolFile& file : files) {
        if (files_.count(folder + "/" + file.final_name) != 0)
          result = std::error_code(EEXIST, std::generic_category());
      }
      if (!result) {
        for (SpoolFile& file : files) files_[folder + "/" + file.final_name] = std::move(file.data);
      }
    }
    if (hold_) {
      held_.emplace_back(std::move(done), result);
    } else if (done) {
      done(result);
    }
  }

  // Fails write number n (counting from 1) with error.
  void FailWriteNumber(int n,
                       std::error_code error = std::error_code(EIO, std::generic_category())) {
    fail_write_number_ = n;
    fault_ = error;
  }
  void FailAllWrites(std::error_code error = std::error_code(ENOSPC, std::generic_category())) {
    fail_all_ = true;
    fault_ = error;
  }
  void ClearFaults() {
    fail_all_ = false;
    fail_write_number_ = 0;
  }

  // While held, completions queue up; ReleaseCompletions runs them in order.
  void HoldCompletions(bool hold) { hold_ = hold; }
  size_t held_completions() const { return held_.size(); }
  void ReleaseCompletions() {
    while (!held_.empty()) {
      auto [done, result] = std::move(held_.front());
      held_.pop_front();
      if (done) done(result);
    }
  }

  // Stored files by "folder/final_name".
  const std::map<std::string, std::string>& files() const { return files_; }
  void AddFile(const std::string& path, std::string data) { files_[path] = std::move(data); }
  int writes() const { return writes_; }
  // The last write's files in order, each "temp_name>final_name".
  const std::vector<std::string>& last_names() const { return last_names_; }

 private:
  std::map<std::string, std::string> files_;
  std::deque<std::pair<std::function<void(std::error_code)>, std::error_code>> held_;
  std::error_code fault_;
  int fail_write_number_ = 0;
  bool fail_all_ = false;
  bool hold_ = false;
  int writes_ = 0;
  std::vector<std::string> last_names_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_TESTING_FAKE_SPOOL_WRITER_H_
