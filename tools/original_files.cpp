// Files read where they are, through the original image's path rules.
#include "tools/original_files.h"

#include <algorithm>

#include "platform/host/errors.h"
#include "store/text.h"

namespace tools {

namespace {

// The non-empty components of a platform path, as the path map takes them.
std::vector<std::u16string_view> Components(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::u16string FolderOf(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash));
}

}  // namespace

std::vector<store::PathAttachment> OriginalPlaces::AliasAttachments() const {
    std::error_code ec;
    std::vector<store::PathAttachment> aliases{{imageAlias, std::filesystem::canonical(image, ec)}};
    for (size_t i = 0; i < attachments.size(); ++i)
        aliases.push_back({attachmentAliases[i], attachments[i].hostFolder});
    return aliases;
}

OriginalPlaces PlacesFor(const std::filesystem::path& image,
                         const std::vector<store::PathAttachment>& attachments,
                         const std::vector<std::u16string>& volumePaths) {
    auto taken = [&](const std::u16string& name) {
        return std::any_of(volumePaths.begin(), volumePaths.end(), [&](const std::u16string& path) {
            const auto parts = Components(path);
            return !parts.empty() && text::EqualNoCase(parts[0], name);
        });
    };
    auto unique = [&](std::u16string name) {
        const std::u16string stem = name;
        for (int n = 2; taken(name); ++n) name = stem + u"-" + text::FromUtf8(std::to_string(n));
        return u"\\" + name;
    };
    OriginalPlaces places{image, attachments, unique(u"ceupdate-original-image"), {}};
    for (size_t i = 0; i < attachments.size(); ++i)
        places.attachmentAliases.push_back(unique(u"ceupdate-original-folder-" + text::FromUtf8(std::to_string(i + 1))));
    return places;
}

OriginalFiles::OriginalFiles(host::Backend& device, OriginalPlaces places)
    : host::ForwardingBackend(device, {host::Operation::ReadFile, host::Operation::RegSetValueExW,
                                       host::Operation::CeSeekDatabase, host::Operation::CeReadRecordProps,
                                       host::Operation::LocalFree}),
      places_(std::move(places)), paths_(places_.image, places_.attachments) {}

std::u16string OriginalFiles::Alias(std::u16string_view platformPath) const {
    const auto parts = Components(platformPath);
    // The attachment the path map takes the path into: the deepest that matches.
    size_t skip = 0;
    std::u16string alias = places_.imageAlias;
    for (size_t i = 0; i < places_.attachments.size(); ++i) {
        const auto mount = Components(places_.attachments[i].platformPath);
        if (mount.empty() || mount.size() > parts.size() || mount.size() <= skip) continue;
        if (!std::equal(mount.begin(), mount.end(), parts.begin(),
                        [](auto a, auto b) { return text::EqualNoCase(a, b); }))
            continue;
        skip = mount.size();
        alias = places_.attachmentAliases[i];
    }
    for (size_t i = skip; i < parts.size(); ++i) alias += u"\\" + std::u16string(parts[i]);
    return alias;
}

bool OriginalFiles::Listed(const std::u16string& folder, const WIN32_FIND_DATAW& entry) const {
    std::filesystem::path ignored;
    return paths_.Resolve(folder + u"\\" + entry.cFileName, &ignored) == store::PathStatus::Ok;
}

bool OriginalFiles::SkipUnlisted(HANDLE search, const std::u16string& folder, LPWIN32_FIND_DATAW entry) {
    while (!Listed(folder, *entry)) {
        if (!target().FindNextFileW(search, entry)) return false;
    }
    return true;
}

HANDLE OriginalFiles::FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (lpFileName == nullptr || lpFindFileData == nullptr) return target().FindFirstFileW(lpFileName, lpFindFileData);
    std::filesystem::path folder;
    std::u16string pattern;
    if (auto status = paths_.ResolveParent(lpFileName, &folder, &pattern); status != store::PathStatus::Ok) {
        SetLastError(host::device::PathError(status, false));
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string alias = Alias(lpFileName);
    const HANDLE search = target().FindFirstFileW(alias.c_str(), lpFindFileData);
    if (search == INVALID_HANDLE_VALUE) return search;
    const std::u16string searched = FolderOf(lpFileName);
    if (!SkipUnlisted(search, searched, lpFindFileData)) {
        target().FindClose(search);
        SetLastError(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard lock(mutex_);
    searches_[search] = searched;
    return search;
}

BOOL OriginalFiles::FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    std::u16string folder;
    {
        std::lock_guard lock(mutex_);
        const auto it = searches_.find(hFindFile);
        if (it == searches_.end() || lpFindFileData == nullptr) {
            return target().FindNextFileW(hFindFile, lpFindFileData);
        }
        folder = it->second;
    }
    return target().FindNextFileW(hFindFile, lpFindFileData) && SkipUnlisted(hFindFile, folder, lpFindFileData);
}

BOOL OriginalFiles::FindClose(HANDLE hFindFile) {
    {
        std::lock_guard lock(mutex_);
        searches_.erase(hFindFile);
    }
    return target().FindClose(hFindFile);
}

HANDLE OriginalFiles::CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                  DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    // The device refuses anything but opening an existing file for reading before it
    // looks at the path; so does it here.
    if (lpFileName == nullptr || (dwDesiredAccess & ~GENERIC_READ) != 0 || dwCreationDisposition != OPEN_EXISTING) {
        return target().CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                    dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    }
    std::filesystem::path ignored;
    if (auto status = paths_.Resolve(lpFileName, &ignored); status != store::PathStatus::Ok) {
        SetLastError(host::device::PathError(status, true));
        return INVALID_HANDLE_VALUE;
    }
    return target().CreateFileW(Alias(lpFileName).c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

}  // namespace tools
