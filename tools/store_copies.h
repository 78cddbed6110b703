// The stores a dry run needs, copied out of an image: the registry, the mount table
// and every mounted volume the image's path rules reach (with the update folder
// attached as "run" attaches it), each copied consistently as it stands at one moment
// (store::CopyStore), twice: once to keep as it was, once for the installer to
// change. Nothing else of the image is copied or opened; the installer reads its
// files from where they are (original_files.h).
//
// The copies make two image folders, "before" and "after", each holding the two state
// stores and each volume at its platform path, so that a device bound to "after"
// finds the volumes by the paths the mount table names.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "store/store.h"
#include "tools/image_volumes.h"

namespace tools {

class StoreCopies {
public:
    // Copies the stores of `image` into `folder` (an empty scratch folder). Refuses,
    // with one sentence, what "run" refuses to write through (store::CheckImageState):
    // a state folder or store file that is a link, a store file with a second hard link.
    StoreCopies(const std::filesystem::path& image, const std::vector<store::PathAttachment>& attachments,
                const std::filesystem::path& folder);

    const std::filesystem::path& before() const { return before_; }
    const std::filesystem::path& after() const { return after_; }

    // The platform paths of the mounted volumes, as the copies' mount table lists them.
    std::vector<std::u16string> MountedVolumes() const;

    // The volumes of one of the copies (before() or after()): the mounted ones, each
    // with its copy when it has one.
    std::vector<VolumeListing> Volumes(const std::filesystem::path& copy) const;

    // A message about a copy in the user's terms: every copy's path replaced with the
    // path of the store it was copied from.
    std::string InUserTerms(std::string message) const;

private:
    void CopyVolume(const store::Mount& mount, const store::PathMap& paths);

    std::filesystem::path before_;
    std::filesystem::path after_;
    struct Volume {
        std::u16string platformPath;
        std::filesystem::path place;     // the copy's place in before_ and after_
        std::filesystem::path original;  // the store it is a copy of
    };
    std::vector<Volume> volumes_;
    std::vector<std::pair<std::string, std::string>> originals_;  // a copy's path, its store's
};

}  // namespace tools
