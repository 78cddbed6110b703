// Scratch folders.
#include "store/scratch_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "store/store.h"

namespace store {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kMemoryLimit = 256u << 20;

}  // namespace

ScratchFolder::ScratchFolder(bool inMemory) {
    std::error_code ec;
    const fs::path memory = "/dev/shm";
    // Where a user has said temporary files go is where they go.
    const char* tmpdir = std::getenv("TMPDIR");
    inMemory_ = inMemory && (tmpdir == nullptr || *tmpdir == 0) && fs::is_directory(memory, ec) &&
                access(memory.c_str(), W_OK) == 0;
    std::string pattern = ((inMemory_ ? memory : fs::temp_directory_path(ec)) / "ceupdate-XXXXXX").string();
    if (ec || mkdtemp(pattern.data()) == nullptr)
        throw Error("no scratch folder can be made in the temporary folder");
    path_ = pattern;
}

bool ScratchFolder::RoomInMemory() const {
    if (!inMemory_) return false;
    std::error_code ec;
    std::uintmax_t held = 0;
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file(ec)) held += it->file_size(ec);
    }
    const fs::space_info space = fs::space(path_, ec);
    return !ec && held <= kMemoryLimit && space.available >= held + kMemoryLimit / 4;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

}  // namespace store
