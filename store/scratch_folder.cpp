// Scratch folders.
#include "store/scratch_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "store/store.h"

namespace store {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(bool inMemory) {
    std::error_code ec;
    const fs::path memory = "/dev/shm";
    const bool useMemory = inMemory && fs::is_directory(memory, ec) && access(memory.c_str(), W_OK) == 0;
    std::string pattern = ((useMemory ? memory : fs::temp_directory_path(ec)) / "ceupdate-XXXXXX").string();
    if (ec || mkdtemp(pattern.data()) == nullptr)
        throw Error("no scratch folder can be made in the temporary folder");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

}  // namespace store
