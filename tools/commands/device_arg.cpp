// The --device option and how it finds the image.
#include "tools/commands/device_arg.h"

#include <system_error>

#include "store/store.h"
#include "tools/errors.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// Why the folder named as the image is none: no state folder, or a state file that is
// missing or is not a file.
std::string NotAnImage(const fs::path& image, const std::string& name) {
    std::error_code ec;
    if (!fs::is_directory(image / store::kStateFolder, ec))
        return name + " is not a device image (no " + store::kStateFolder + " folder in it)";
    for (const auto& [file, what] : {std::pair{store::RegistryFile(image), "registry"},
                                     std::pair{store::MountsFile(image), "mount table"}}) {
        const fs::file_status st = fs::status(file, ec);
        const std::string store = std::string(what) + " " + file.string();
        if (!fs::exists(st)) return name + " is not a device image (its " + store + " is missing)";
        if (fs::is_directory(st)) return "the " + store + " is a folder, not a store file";
        if (!fs::is_regular_file(st)) return "the " + store + " is not a regular file";
    }
    return name + " is not a device image";
}

}  // namespace

void DeviceArg::AddTo(CLI::App& command) {
    command.add_option("--device", option_,
                       "the device image folder (default: the nearest image at or above "
                       "the current directory)");
}

fs::path DeviceArg::Image() const {
    if (!option_.empty()) {
        fs::path image(option_);
        std::error_code ec;
        if (!fs::is_directory(image, ec)) {
            throw ToolError("the device image folder " + option_ + " does not exist");
        }
        if (!store::IsImage(image)) throw ToolError(NotAnImage(image, option_));
        return image;
    }
    std::error_code ec;
    fs::path here = fs::current_path(ec);
    if (ec) throw ToolError("the current directory cannot be read: " + ec.message());
    if (auto found = store::FindImage(here)) return *found;
    throw ToolError("no device image at or above " + here.string() +
                    "; name one with --device IMAGE");
}

fs::path DeviceArg::ImageForWriting() const {
    fs::path image = Image();
    store::CheckImageState(image);
    return image;
}

}  // namespace tools
