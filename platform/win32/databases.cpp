// The property database calls on Windows: the mount table and volumes of the image on
// the current drive, through the image store and the core the host shares
// (platform/cedb.h). A database handle is a real kernel object (an event) so that the
// installer's CloseHandle on it succeeds; its cursor stays in a table keyed by the
// handle, and a handle value the system hands out again replaces the old entry.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "platform/cedb.h"
#include "platform/win32/win32.h"
#include "platform/wince.h"  // windows.h, and the database declarations it lacks
#include "store/text.h"

namespace {

namespace fs = std::filesystem;

struct State {
    std::mutex mutex;
    std::unique_ptr<store::MountTable> mounts;
    // By the folded platform path of the volume.
    std::map<std::u16string, std::unique_ptr<store::VolumeStore>> volumes;
    // Every database opened, by volume and object id; shared by its handles.
    std::map<std::pair<std::u16string, uint32_t>, std::shared_ptr<cedb::Database>> open;
    std::map<HANDLE, cedb::Cursor> handles;
};

// Never destroyed: a call on another thread during exit still finds it.
State& TheState() {
    static State* state = new State;
    return *state;
}

fs::path OnCurrentDrive(const std::u16string& platformPath) {
    return fs::path(std::wstring(platformPath.begin(), platformPath.end()));
}

std::vector<store::Mount> Mounts(State& state) {
    if (!state.mounts) {
        state.mounts = std::make_unique<store::MountTable>(store::MountsFile(OnCurrentDrive(u"\\")),
                                                            store::Mode::ReadOnly);
    }
    return state.mounts->List();
}

// The volume store of a mounted volume; nullptr when its file does not exist.
store::VolumeStore* Volume(State& state, const std::u16string& volumePath) {
    auto& slot = state.volumes[text::FoldCase(volumePath)];
    if (!slot) {
        const fs::path file = OnCurrentDrive(volumePath);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) return nullptr;
        slot = std::make_unique<store::VolumeStore>(file, store::Mode::ReadWrite);
    }
    return slot.get();
}

cedb::Cursor* CursorOf(State& state, HANDLE handle) {
    const auto it = state.handles.find(handle);
    if (it == state.handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &it->second;
}

void* Allocate(size_t bytes) { return LocalAlloc(LMEM_FIXED, bytes); }
void Release(void* block) { LocalFree(block); }
const cedb::Allocator kAllocator = {&Allocate, &Release};

}  // namespace

BOOL WINAPI CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) {
    if (pguid == nullptr || lpBuf == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    std::vector<store::Mount> mounts;
    try {
        mounts = Mounts(state);
    } catch (const store::Error&) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return cedb::NextVolume(mounts, pguid, lpBuf, dwSize);
}

HANDLE WINAPI CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID,
                               DWORD dwFlags, CENOTIFYREQUEST*) {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    cedb::VolumeAccess access;
    access.volume = [&state](const store::Mount& m) { return Volume(state, m.volumePath); };
    access.share = [&state](const store::Mount& m, store::VolumeStore& volume, const store::DatabaseInfo& info) {
        auto& db = state.open[{text::FoldCase(m.volumePath), info.oid}];
        if (!db) db = cedb::Database::Load(volume, m.volumePath, info);
        return db;
    };
    try {
        std::shared_ptr<cedb::Database> db = cedb::Open(Mounts(state), pguid, poid, lpszName, access);
        if (!db) return INVALID_HANDLE_VALUE;
        const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (handle == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return INVALID_HANDLE_VALUE;
        }
        state.handles.erase(handle);
        state.handles.try_emplace(handle, std::move(db), (dwFlags & CEDB_AUTOINCREMENT) != 0);
        return handle;
    } catch (const store::Error&) {
        SetLastError(ERROR_READ_FAULT);
        return INVALID_HANDLE_VALUE;
    }
}

CEOID WINAPI CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex) {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    cedb::Cursor* cursor = CursorOf(state, hDatabase);
    return cursor ? cedb::Seek(*cursor, dwSeekType, dwValue, lpdwIndex) : 0;
}

CEOID WINAPI CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                               LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    cedb::Cursor* cursor = CursorOf(state, hDbase);
    return cursor ? cedb::Read(*cursor, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer, kAllocator)
                  : 0;
}

CEOID WINAPI CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID, CEPROPVAL* rgPropVal) {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    cedb::Cursor* cursor = CursorOf(state, hDbase);
    return cursor ? cedb::Write(*cursor, oidRecord, cPropID, rgPropVal, nullptr) : 0;
}

void CloseDatabaseVolumes() {
    State& state = TheState();
    std::lock_guard lock(state.mutex);
    state.handles.clear();
    state.open.clear();
    state.volumes.clear();
    state.mounts.reset();
}
