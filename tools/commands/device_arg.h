// The --device IMAGE option shared by every command that works on an image.
//
//   tools::DeviceArg device;
//   device.AddTo(*sub);
//   ... in the callback: fs::path image = device.Image();
//
// Without the option the image is the nearest folder, at or above the current
// directory, that is the root of an image.
#pragma once

#include <filesystem>
#include <string>

#include <CLI/CLI.hpp>

namespace tools {

class DeviceArg {
public:
    void AddTo(CLI::App& command);

    // The image folder; throws ToolError when the option names a folder that is not
    // an image, or when none is given and none is found.
    std::filesystem::path Image() const;

    // The image, for a command that writes to it: Image(), refused (store::Error) when
    // its state cannot be written safely (store::CheckImageState).
    std::filesystem::path ImageForWriting() const;

private:
    std::string option_;
};

}  // namespace tools
