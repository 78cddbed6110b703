// The recording screen.
#include "testing/recording_screen.h"

namespace testing_support {

void RecordingScreen::ShowWindow(const std::u16string& text, uint32_t style) {
    std::lock_guard lock(mutex_);
    shown_.push_back({Shown::Window, text, {}, style});
}

void RecordingScreen::ShowMessage(const std::u16string& text, const std::u16string& caption,
                                  uint32_t style) {
    std::lock_guard lock(mutex_);
    shown_.push_back({Shown::Message, text, caption, style});
}

std::vector<RecordingScreen::Shown> RecordingScreen::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

}  // namespace testing_support
