// The recording screen: a host::Screen that keeps what was shown, in order, for tests
// to look at after the run.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host.h"

namespace testing_support {

class RecordingScreen : public host::Screen {
public:
    struct Shown {
        enum Kind { Window, Message } kind;
        std::u16string text;
        std::u16string caption;  // messages only
        uint32_t style;
    };
    void ShowWindow(const std::u16string& text, uint32_t style) override;
    void ShowMessage(const std::u16string& text, const std::u16string& caption,
                     uint32_t style) override;
    std::vector<Shown> shown() const;

private:
    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
};

}  // namespace testing_support
