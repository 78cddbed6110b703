// Copies of a store taken as it stands at one moment, while another process may be
// writing it: what a dry run works on instead of the image itself.
#pragma once

#include <filesystem>
#include <span>

namespace store {

// Copies the store file `from` into each of the new files `to`, all of them the same
// one state: SQLite's backup API inside one read transaction. Nothing of `from` is
// written. Where no -wal file shows a writer at work, the read opens the store the
// way a writer's connection would (so SQLite's -wal and -shm files come and go with
// it and none is left behind) but runs nothing that writes; where a writer is at work,
// it reads through the writer's -wal file; where the folder cannot be written at all,
// the file is read as it stands. `kind` names the store in errors ("registry",
// "volume"), which say "corrupt" for a file that is not a sound SQLite store.
void CopyStore(const std::filesystem::path& from, std::span<const std::filesystem::path> to,
               const char* kind);

}  // namespace store
