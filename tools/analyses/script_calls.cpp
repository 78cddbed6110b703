// The registry calls made while a script is read.
#include "tools/analyses/script_calls.h"

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

void ScriptCalls::CreateKey(size_t line, HKEY root, LPCWSTR path, LONG result, HKEY key) {
    keys_.push_back({line, FullKeyPath(root, path), result == ERROR_SUCCESS});
    if (result == ERROR_SUCCESS) open_[key] = keys_.size() - 1;
}

void ScriptCalls::SetValue(size_t line, HKEY key, LPCWSTR name, DWORD type, const BYTE* data,
                           DWORD size, LONG result) {
    const auto open = open_.find(key);
    const std::u16string_view text = name ? std::u16string_view(name) : std::u16string_view();
    writes_.push_back({line, open == open_.end() ? kNoKey : open->second, names_.size(), text.size(),
                       bytes_.size(), data ? size : 0, type, result});
    names_ += text;
    if (data != nullptr) bytes_.insert(bytes_.end(), data, data + size);
}

void ScriptCalls::CloseKey(HKEY key) { open_.erase(key); }

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

bool ScriptCalls::Write(size_t index, RecordedWrite& write) {
    if (index >= writes_.size()) return false;
    write = this->write(index);
    return true;
}

}  // namespace tools
