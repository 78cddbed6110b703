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

void ScriptCalls::Read(const void* buffer, DWORD delivered) {
    const auto* data = static_cast<const uint8_t*>(buffer);
    bytes.insert(bytes.end(), data, data + delivered);
    if (delivered == 2 && data[0] == 0x0A && data[1] == 0) ++lines_;
}

void ScriptCalls::CreateKey(HKEY root, LPCWSTR path, LONG result, HKEY key) {
    RecordedKey record{lines_, FullKeyPath(root, path), result == ERROR_SUCCESS};
    if (record.opened) open_[key] = record.key;
    keys.push_back(std::move(record));
}

void ScriptCalls::SetValue(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size,
                           LONG result) {
    RecordedWrite record;
    record.line = lines_;
    record.write.line = lines_;
    const auto open = open_.find(key);
    record.write.key = open == open_.end() ? u"?" : open->second;
    record.write.name = name ? name : u"";
    record.write.type = type;
    if (data != nullptr) record.write.bytes.assign(data, data + size);
    record.result = result;
    writes.push_back(std::move(record));
}

void ScriptCalls::CloseKey(HKEY key) { open_.erase(key); }

}  // namespace tools
