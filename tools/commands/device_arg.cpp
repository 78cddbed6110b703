// The --device option and how it finds the image.
#include "tools/commands/device_arg.h"

#include <system_error>

#include "store/store.h"
#include "tools/errors.h"

namespace tools {

namespace fs = std::filesystem;

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
        if (!store::IsImage(image)) {
            throw ToolError(option_ + " is not a device image (no " +
                            store::kStateFolder + " folder in it)");
        }
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
