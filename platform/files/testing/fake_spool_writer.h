// A SpoolWriter for tests: files live in memory under "folder/final_name", and done runs inside
// Write (or, with HoldCompletions, when the test releases it), always on the caller's thread.
// A write is one mail's files, all stored or none. Faults: fail the Nth write, or every write,
// with a chosen error; a write one of whose final or absent names is taken gets EEXIST, leaves
// the stored files untouched and gives its files back, as the real writer does.
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
  void Write(std::string folder, std::vector<SpoolFile> files, std::vector<std::string> absent,
             std::function<void(std::error_code, std::vector<SpoolFile>)> done) override {
    ++writes_;
    last_names_.clear();
    for (const SpoolFile& file : files)
      last_names_.push_back(file.temp_name + ">" + file.final_name);
    std::error_code result;
    if (fail_all_ || writes_ == fail_write_number_) {
      result = fault_;
    } else {
      for (const SpoolFile& file : files) absent.push_back(file.final_name);
      for (const std::string& name : absent) {
        if (files_.count(folder + "/" + name) != 0)
          result = std::error_code(EEXIST, std::generic_category());
      }
      if (!result) {
        for (SpoolFile& file : files) files_[folder + "/" + file.final_name] = std::move(file.data);
      }
    }
    if (result.value() != EEXIST) files.clear();
    if (hold_) {
      held_.push_back({std::move(done), result, std::move(files)});
    } else if (done) {
      done(result, std::move(files));
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
      Held held = std::move(held_.front());
      held_.pop_front();
      if (held.done) held.done(held.result, std::move(held.files));
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
  struct Held {
    std::function<void(std::error_code, std::vector<SpoolFile>)> done;
    std::error_code result;
    std::vector<SpoolFile> files;  // given back
  };
  std::deque<Held> held_;
  std::error_code fault_;
  int fail_write_number_ = 0;
  bool fail_all_ = false;
  bool hold_ = false;
  int writes_ = 0;
  std::vector<std::string> last_names_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_FILES_TESTING_FAKE_SPOOL_WRITER_H_
