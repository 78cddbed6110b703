// The files of an image and of an update folder, read where they are by a device
// bound to another image: the dry run's device works on copies of the stores, while
// the installer's scripts and patch files are found and read exactly as "run" finds
// them, through the original image's path rules.
//
// In front of the copies' device, every file search and file opening is resolved
// first with the original image's path map (with the update folder attached as "run"
// attaches it); what that map refuses or does not find fails with the error "run"
// would give. What it finds is opened through an alias: the copies' device has the
// original image's folder, and each attached folder, attached under a platform path
// of its own that no mounted volume's path begins with, so that the device resolves
// a volume only among the copies. A search lists what the original path map lists.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/backend.h"
#include "store/store.h"

namespace tools {

struct OriginalPlaces {
    std::filesystem::path image;
    std::vector<store::PathAttachment> attachments;  // as "run" attaches them
    // The copies' device's platform paths of the image folder and of each attachment.
    std::u16string imageAlias;
    std::vector<std::u16string> attachmentAliases;

    // The attachments that give the copies' device its aliases.
    std::vector<store::PathAttachment> AliasAttachments() const;
};

// Alias names unlike the first component of every one of `volumePaths`.
OriginalPlaces PlacesFor(const std::filesystem::path& image,
                         const std::vector<store::PathAttachment>& attachments,
                         const std::vector<std::u16string>& volumePaths);

class OriginalFiles final : public host::ForwardingBackend {
public:
    OriginalFiles(host::Backend& device, OriginalPlaces places);

    HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) override;
    BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) override;
    BOOL FindClose(HANDLE hFindFile) override;
    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override;

private:
    // The alias path of a platform path the original path map resolves.
    std::u16string Alias(std::u16string_view platformPath) const;
    // True when the original path map lets the entry be reached (what "run" lists).
    bool Listed(const std::u16string& folder, const WIN32_FIND_DATAW& entry) const;
    // Moves a search on to the next entry "run" would list; false at the end.
    bool SkipUnlisted(HANDLE search, const std::u16string& folder, LPWIN32_FIND_DATAW entry);

    OriginalPlaces places_;
    store::PathMap paths_;
    std::mutex mutex_;
    std::map<HANDLE, std::u16string> searches_;  // open searches: the folder searched
};

}  // namespace tools
