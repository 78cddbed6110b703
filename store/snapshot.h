// Copies of a store taken as it stands at one moment, while another process may be
// writing it: what a dry run works on instead of the image itself.
#pragma once

#include <filesystem>
#include <span>

namespace store {

// Copies the store file `from` into each of the new files `to`, all of them the same
// one state: SQLite's backup API from a reader's connection (sql::Db in ReadOnly
// mode), whose one read transaction sees the store before or after any other
// process's transaction, never half of one. Nothing of `from` is written. `kind`
// names the store in errors ("registry", "volume"), which name `from` and say
// "corrupt" for a file that is not a sound SQLite store.
void CopyStore(const std::filesystem::path& from, std::span<const std::filesystem::path> to,
               const char* kind);

}  // namespace store
