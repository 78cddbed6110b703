// Where the installer runs on an image, the write trace, and the run itself.
#include "tools/installer_run.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "control/control.h"
#include "store/store.h"
#include "store/text.h"
#include "tools/errors.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr const char16_t* kStorageCard = u"\\Storage Card";
constexpr const char16_t* kExecutableName = u"Update.exe";
// GetModuleFileNameW fills a MAX_PATH buffer: the path and its terminator.
constexpr size_t kMaxExecutablePath = MAX_PATH - 1;

struct UpdateLocation {
    std::u16string folder;  // platform path of the update folder
    std::vector<host::Attachment> attachments;
};

// Refuses a folder whose host path holds a name that is not UTF-8: the phone would
// read it with U+FFFD in place of the bytes, and so could not tell it from a sibling
// that differs only there.
void RequireUtf8Path(const fs::path& folder, const std::string& updateDir) {
    for (const fs::path& part : folder) {
        const std::string name = part.string();
        if (text::ToUtf8(text::FromUtf8(name)) != name) {
            throw ToolError("the update folder " + updateDir + " has a folder name that is not "
                            "valid UTF-8 (" + text::ToUtf8(text::FromUtf8(name)) +
                            "), which the phone cannot tell from others");
        }
    }
}

UpdateLocation Locate(const fs::path& image, const std::string& updateDir) {
    std::error_code ec;
    if (!fs::is_directory(updateDir, ec)) {
        throw ToolError("the update folder " + updateDir +
                        (fs::exists(updateDir, ec) ? " is not a folder" : " does not exist"));
    }
    const fs::path folder = fs::canonical(updateDir, ec);
    const fs::path root = fs::canonical(image, ec);
    if (ec) throw ToolError("the update folder " + updateDir + " cannot be read");
    RequireUtf8Path(folder, updateDir);
    const fs::path relative = folder.lexically_relative(root);
    const bool inside = !relative.empty() && *relative.begin() != "..";
    if (!inside) return {kStorageCard, {{kStorageCard, folder}}};

    std::u16string platform;
    for (const fs::path& part : relative) {
        const std::string name = part.string();
        if (name == ".") continue;
        if (name == store::kStateFolder) {
            throw ToolError("the update folder " + updateDir +
                            " lies in the image's own state folder");
        }
        if (name.find('\\') != std::string::npos) {
            throw ToolError("the update folder " + updateDir +
                            " has a backslash in a folder name, which the phone cannot name");
        }
        platform += u"\\" + text::FromUtf8(name);
    }
    return {platform.empty() ? u"\\" : platform, {}};
}

std::u16string ExecutablePath(const std::u16string& folder) {
    return folder == u"\\" ? folder + kExecutableName : folder + u"\\" + kExecutableName;
}

}  // namespace

host::DeviceOptions InstallerOptions(const fs::path& image, const std::string& updateDir) {
    UpdateLocation where = Locate(image, updateDir);
    host::DeviceOptions options;
    options.image = image;
    options.modulePath = ExecutablePath(where.folder);
    options.attachments = where.attachments;
    if (options.modulePath.size() > kMaxExecutablePath) {
        throw ToolError("the installer's path on the phone would be " +
                        std::to_string(options.modulePath.size()) +
                        " characters long; at most " + std::to_string(kMaxExecutablePath) +
                        " fit");
    }
    return options;
}

void TraceFromEnvironment(host::DeviceOptions& options) {
    const char* name = std::getenv("CEUPDATE_TRACE");
    if (!name || !*name) return;
    // Opened once for the whole process, so every device's lines land in it.
    static std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name, "w"), &std::fclose);
    if (!file) throw ToolError(std::string("the trace file ") + name + " cannot be written");
    options.trace = [out = file.get()](const std::string& line) {
        std::fputs(line.c_str(), out);
        std::fputc('\n', out);
        std::fflush(out);
    };
}

int RunInstaller(const host::DeviceOptions& options, const FrontFactory& front) {
    host::DeviceBinding binding(options);
    std::optional<host::ScopedBackend> inFront;
    if (front) inFront.emplace(*front(binding.device()));
    WCHAR noCommandLine[1] = {0};
    return WinMain(nullptr, nullptr, noCommandLine, 1);
}

}  // namespace tools
