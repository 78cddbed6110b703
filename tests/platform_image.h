// A scratch device image bound for one test, shared by the platform suites.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/host/host.h"
#include "platform/wince.h"
#include "store/scratch_folder.h"
#include "store/store.h"
#include "store/text.h"
#include "testing/recording_screen.h"

namespace platform_test {

namespace fs = std::filesystem;

class ScratchImage : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = scratch_.path();
        image_ = root_ / "image";
        store::InitImage(image_);
        options_.image = image_;
        options_.modulePath = u"\\Storage Card\\Update.exe";
        options_.attachments = {{u"\\Storage Card", root_ / "card"}};
        options_.screen = &screen_;
        options_.trace = [this](const std::string& line) { trace_.push_back(line); };
        fs::create_directories(root_ / "card");
        Bind();
    }
    void TearDown() override { host::UnbindDevice(); }
    void Bind() { host::BindDevice(options_); }
    void Rebind() {
        host::UnbindDevice();
        host::BindDevice(options_);
    }
    static void WriteFile(const fs::path& file, const std::string& bytes) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }

    store::ScratchFolder scratch_;
    fs::path root_;
    fs::path image_;
    host::DeviceOptions options_;
    testing_support::RecordingScreen screen_;
    std::vector<std::string> trace_;
};

}  // namespace platform_test
