// The registry calls made while a script is read.
#include "tools/analyses/script_calls.h"

#include <algorithm>

#include "platform/host/host.h"

namespace tools {

std::u16string FullKeyPath(HKEY root, const WCHAR* path) {
    std::u16string_view rest = path ? std::u16string_view(path) : std::u16string_view();
    if (!rest.empty() && rest.front() == u'\\') rest.remove_prefix(1);
    if (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
    const auto rootKey = host::RootKeyOf(root);
    std::u16string full = rootKey ? store::RegistryStore::RootName(*rootKey) : u"?";
    if (!rest.empty()) full += u"\\" + std::u16string(rest);
    return full;
}

namespace {

// How many calls the walk takes at a time: it is woken once per batch, not per call.
constexpr size_t kFollowBatch = 4096;

}  // namespace

void ScriptCalls::CreateKey(size_t line, HKEY root, LPCWSTR path, LONG result, HKEY key) {
    std::lock_guard lock(mutex_);
    keys_.push_back({line, FullKeyPath(root, path), result == ERROR_SUCCESS});
    if (result == ERROR_SUCCESS) open_[key] = keys_.size() - 1;
    Added();
}

void ScriptCalls::SetValue(size_t line, HKEY key, LPCWSTR name, DWORD type, const BYTE* data,
                           DWORD size, LONG result) {
    std::lock_guard lock(mutex_);
    const auto open = open_.find(key);
    const std::u16string_view text = name ? std::u16string_view(name) : std::u16string_view();
    writes_.push_back({line, open == open_.end() ? kNoKey : open->second, names_.size(), text.size(),
                       bytes_.size(), data ? size : 0, type, result});
    names_ += text;
    if (data != nullptr) bytes_.insert(bytes_.end(), data, data + size);
    Added();
}

void ScriptCalls::CloseKey(HKEY key) {
    std::lock_guard lock(mutex_);
    open_.erase(key);
}

void ScriptCalls::End() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void ScriptCalls::Added() {
    if (count() < wanted_) return;
    wanted_ = SIZE_MAX;
    changed_.notify_all();
}

RecordedWrite ScriptCalls::write(size_t index) const {
    const Made& w = writes_[index];
    RecordedWrite out;
    out.line = w.line;
    out.key = w.key == kNoKey ? std::u16string_view(u"?") : std::u16string_view(keys_[w.key].key);
    out.name = std::u16string_view(names_).substr(w.name, w.nameLength);
    out.type = w.type;
    out.bytes = std::span<const uint8_t>(bytes_).subspan(w.bytes, w.byteCount);
    out.result = w.result;
    return out;
}

// Copies the calls it is given out under the lock, a batch of writes at a time: the
// recorded buffers move as calls are added.
class ScriptCalls::Follower final : public CallSource {
public:
    explicit Follower(ScriptCalls& calls) : made_(calls) {}

    const RecordedKey* Key(size_t index) override {
        std::unique_lock lock(made_.mutex_);
        Await(lock, [&] { return made_.keys_.size() > index; });
        if (index >= made_.keys_.size()) return nullptr;
        key_ = made_.keys_[index];
        return &key_;
    }

    bool Write(size_t index, RecordedWrite& write) override {
        if ((index < first_ || index >= first_ + count_) && !Fetch(index)) return false;
        const Held& held = batch_[index - first_];
        write = {held.line, held.key, held.name, held.type, held.bytes, held.result};
        return true;
    }

    size_t Writes() override {
        std::unique_lock lock(made_.mutex_);
        Await(lock, [] { return false; });
        return made_.writes_.size();
    }

private:
    struct Held {
        size_t line = 0;
        std::u16string key;
        std::u16string name;
        uint32_t type = 0;
        std::vector<uint8_t> bytes;
        LONG result = ERROR_SUCCESS;
    };

    // Waits until `ready`, or until the reading has ended.
    template <typename Ready>
    void Await(std::unique_lock<std::mutex>& lock, Ready ready) {
        while (!ready() && !made_.ended_) {
            made_.wanted_ = made_.count() + kFollowBatch;
            made_.changed_.wait(lock);
        }
    }

    // Takes the writes from `index` on, as many as are made, up to a batch.
    bool Fetch(size_t index) {
        std::unique_lock lock(made_.mutex_);
        Await(lock, [&] { return made_.writes_.size() > index; });
        const size_t made = made_.writes_.size();
        if (index >= made) return false;
        count_ = std::min(made - index, kFollowBatch);
        first_ = index;
        if (batch_.size() < count_) batch_.resize(count_);
        for (size_t i = 0; i < count_; ++i) {
            const RecordedWrite write = made_.write(index + i);
            Held& held = batch_[i];
            held.line = write.line;
            held.key.assign(write.key);
            held.name.assign(write.name);
            held.type = write.type;
            held.bytes.assign(write.bytes.begin(), write.bytes.end());
            held.result = write.result;
        }
        return true;
    }

    ScriptCalls& made_;
    RecordedKey key_;
    std::vector<Held> batch_;  // writes first_ .. first_ + count_, their buffers reused
    size_t first_ = 0;
    size_t count_ = 0;
};

std::unique_ptr<CallSource> ScriptCalls::Follow() { return std::make_unique<Follower>(*this); }

}  // namespace tools
