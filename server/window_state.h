// The visible state of the server's main window, kept as a model that the web console draws:
// the caption, the status label Label1 and the activity list List1. Loop thread only.
#ifndef MAILVANE_SERVER_WINDOW_STATE_H_
#define MAILVANE_SERVER_WINDOW_STATE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mailvane {

inline constexpr size_t kActivityListCap = 20000;

class WindowState {
 public:
  const std::string& caption() const { return caption_; }
  const std::string& label1() const { return label1_; }
  // The lines of List1, oldest first; the last one is the selected line, in view.
  const std::vector<std::string>& lines() const { return lines_; }
  // Counts the times the list was cleared by the cap, so a viewer that held lines of an earlier
  // list knows to start again.
  uint64_t list_epoch() const { return list_epoch_; }
  // Grows with every change of anything above, for viewers that wait for changes.
  uint64_t version() const { return version_; }

  void SetCaption(const std::string& caption);
  void SetLabel1(const std::string& text);
  // Adds a whole line (prefix included); a list that holds exactly the cap is cleared first.
  void AddLine(std::string line);

  // Called after every change (the console wakes its waiting viewers).
  void OnChange(std::function<void()> listener) { listener_ = std::move(listener); }

 private:
  void Changed();

  std::string caption_ = "Mailvane";
  std::string label1_;
  std::vector<std::string> lines_;
  uint64_t list_epoch_ = 0;
  uint64_t version_ = 0;
  std::function<void()> listener_;
};

}  // namespace mailvane

#endif  // MAILVANE_SERVER_WINDOW_STATE_H_
