#include "server/window_state.h"

namespace mailvane {

void WindowState::SetCaption(const std::string& caption) {
  caption_ = caption;
  Changed();
}

void WindowState::SetLabel1(const std::string& text) {
  label1_ = text;
  Changed();
}

void WindowState::AddLine(std::string line) {
  if (lines_.size() == kActivityListCap) {
    lines_.clear();  // the cap empties the list in one step
    ++list_epoch_;
  }
  lines_.push_back(std::move(line));
  Changed();
}

void WindowState::Changed() {
  ++version_;
  if (listener_) listener_();
}

}  // namespace mailvane
