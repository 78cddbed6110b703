// The recording backend. Layout: how values are shown; one call being recorded
// (Entry); the generated operations; the record and its queries.
#include "testing/recorder.h"

#include <algorithm>
#include <concepts>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "platform/host/host.h"
#include "store/bytes.h"
#include "store/text.h"

namespace testing_support {

namespace {

using host::Operation;

// ---- How values are shown -----------------------------------------------------------

enum class Direction { In, Out, InOut };

std::string Hex(uint64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::string Text(const char16_t* text) {
    return text ? Recorder::Quoted(text::ToUtf8(text)) : "NULL";
}

std::string Bytes(const void* data, size_t size) {
    return store::HexOf(std::span(static_cast<const uint8_t*>(data), size));
}

// Registry data: the text of a string type as a quoted string, terminators and all
// (\u0000), when its bytes are UTF-16 text; else hex pairs.
std::string RegistryData(DWORD type, const BYTE* data, DWORD size) {
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) && size % 2 == 0) {
        std::u16string units(size / 2, u'\0');
        for (size_t i = 0; i < units.size(); ++i)
            units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        const std::string utf8 = text::ToUtf8(units);
        if (text::FromUtf8(utf8) == units) return Recorder::Quoted(utf8);
    }
    return Bytes(data, size);
}

std::string Bool(int64_t value) {
    return value == TRUE ? "TRUE" : value == FALSE ? "FALSE" : std::to_string(value);
}

// ---- The platform's named constants -------------------------------------------------

struct Symbol {
    uint32_t value;
    const char* name;
};
#define CE_SYMBOL_(name) Symbol{static_cast<uint32_t>(name), #name}

// The name of a value that is one of the symbols; `otherwise` when it is none.
std::string OneOf(uint32_t value, std::initializer_list<Symbol> symbols, std::string otherwise) {
    for (const Symbol& s : symbols)
        if (s.value == value) return s.name;
    return otherwise;
}

// Flags by name joined with "|", the bits no symbol names in hex; "0" for none.
std::string Flags(uint32_t value, std::initializer_list<Symbol> symbols) {
    std::string out;
    uint32_t left = value;
    for (const Symbol& s : symbols) {
        if (s.value == 0 || (value & s.value) != s.value) continue;
        out += (out.empty() ? "" : "|") + std::string(s.name);
        left &= ~s.value;
    }
    if (left != 0) out += (out.empty() ? "" : "|") + Hex(left);
    return out.empty() ? "0" : out;
}

std::string ErrorName(uint32_t code) {
    return OneOf(code,
                 {CE_SYMBOL_(ERROR_SUCCESS), CE_SYMBOL_(ERROR_FILE_NOT_FOUND),
                  CE_SYMBOL_(ERROR_PATH_NOT_FOUND), CE_SYMBOL_(ERROR_ACCESS_DENIED),
                  CE_SYMBOL_(ERROR_INVALID_HANDLE), CE_SYMBOL_(ERROR_NOT_ENOUGH_MEMORY),
                  CE_SYMBOL_(ERROR_OUTOFMEMORY), CE_SYMBOL_(ERROR_NO_MORE_FILES),
                  CE_SYMBOL_(ERROR_WRITE_FAULT), CE_SYMBOL_(ERROR_READ_FAULT),
                  CE_SYMBOL_(ERROR_GEN_FAILURE), CE_SYMBOL_(ERROR_SEEK),
                  CE_SYMBOL_(ERROR_INVALID_PARAMETER), CE_SYMBOL_(ERROR_DISK_FULL),
                  CE_SYMBOL_(ERROR_INSUFFICIENT_BUFFER), CE_SYMBOL_(ERROR_ALREADY_EXISTS),
                  CE_SYMBOL_(ERROR_NO_DATA), CE_SYMBOL_(ERROR_MORE_DATA),
                  CE_SYMBOL_(ERROR_NO_MORE_ITEMS), CE_SYMBOL_(ERROR_KEY_DELETED),
                  CE_SYMBOL_(ERROR_INVALID_WINDOW_HANDLE), CE_SYMBOL_(ERROR_CANNOT_FIND_WND_CLASS)},
                 std::to_string(code));
}

std::string RegistryType(uint32_t type) {
    return OneOf(type,
                 {CE_SYMBOL_(REG_NONE), CE_SYMBOL_(REG_SZ), CE_SYMBOL_(REG_EXPAND_SZ),
                  CE_SYMBOL_(REG_BINARY), CE_SYMBOL_(REG_DWORD), CE_SYMBOL_(REG_DWORD_BIG_ENDIAN),
                  CE_SYMBOL_(REG_LINK), CE_SYMBOL_(REG_MULTI_SZ), CE_SYMBOL_(REG_QWORD)},
                 std::to_string(type));
}

std::string Message(uint32_t message) {
    return OneOf(message, {CE_SYMBOL_(WM_NULL), CE_SYMBOL_(WM_PAINT), CE_SYMBOL_(WM_QUIT)},
                 std::to_string(message));
}

// A number passed as the parameter `param` of the operation, by the names the
// platform gives its values; nothing when the parameter takes plain numbers.
std::optional<std::string> Symbolic(Operation op, std::string_view param, int64_t number) {
    const auto value = static_cast<uint32_t>(number);
    if (param == "dwDesiredAccess")
        return Flags(value, {CE_SYMBOL_(GENERIC_READ), CE_SYMBOL_(GENERIC_WRITE)});
    if (param == "dwShareMode")
        return Flags(value, {CE_SYMBOL_(FILE_SHARE_READ), CE_SYMBOL_(FILE_SHARE_WRITE)});
    if (param == "dwCreationDisposition")
        return OneOf(value,
                     {CE_SYMBOL_(CREATE_NEW), CE_SYMBOL_(CREATE_ALWAYS), CE_SYMBOL_(OPEN_EXISTING),
                      CE_SYMBOL_(OPEN_ALWAYS), CE_SYMBOL_(TRUNCATE_EXISTING)},
                     std::to_string(value));
    if (param == "dwFlagsAndAttributes")
        return Flags(value, {CE_SYMBOL_(FILE_ATTRIBUTE_READONLY), CE_SYMBOL_(FILE_ATTRIBUTE_DIRECTORY),
                             CE_SYMBOL_(FILE_ATTRIBUTE_NORMAL)});
    if (param == "dwType" || param == "lpType") return RegistryType(value);
    if (param == "lpdwDisposition")
        return OneOf(value, {CE_SYMBOL_(REG_CREATED_NEW_KEY), CE_SYMBOL_(REG_OPENED_EXISTING_KEY)},
                     std::to_string(value));
    if (param == "dwSeekType")
        return OneOf(value,
                     {CE_SYMBOL_(CEDB_SEEK_CEOID), CE_SYMBOL_(CEDB_SEEK_BEGINNING),
                      CE_SYMBOL_(CEDB_SEEK_END), CE_SYMBOL_(CEDB_SEEK_CURRENT)},
                     std::to_string(value));
    if (param == "dwFlags" && op == Operation::CeReadRecordProps)
        return Flags(value, {CE_SYMBOL_(CEDB_ALLOWREALLOC)});
    if (param == "dwFlags" && op == Operation::CeOpenDatabaseEx)
        return Flags(value, {CE_SYMBOL_(CEDB_AUTOINCREMENT)});
    if (param == "dwStyle")
        return Flags(value, {CE_SYMBOL_(WS_VISIBLE), CE_SYMBOL_(WS_BORDER), CE_SYMBOL_(SS_CENTER)});
    if (param == "x" || param == "y" || param == "nWidth" || param == "nHeight")
        return OneOf(value, {CE_SYMBOL_(CW_USEDEFAULT)}, std::to_string(number));
    if (param == "Msg") return Message(value);
    if (param == "uType") {
        // The buttons are a number in the low four bits (MB_OK is 0); the icon a flag.
        const std::string buttons = OneOf(value & 0xFu, {CE_SYMBOL_(MB_OK)}, Hex(value & 0xFu));
        const uint32_t rest = value & ~0xFu;
        return rest ? buttons + "|" + Flags(rest, {CE_SYMBOL_(MB_ICONINFORMATION)}) : buttons;
    }
    if (param == "dwMilliseconds") return OneOf(value, {CE_SYMBOL_(INFINITE)}, std::to_string(value));
    return std::nullopt;
}

// A result, by what the operation returns.
std::optional<std::string> SymbolicResult(Operation op, int64_t number) {
    const auto value = static_cast<uint32_t>(number);
    switch (op) {
        case Operation::RegCreateKeyExW:
        case Operation::RegOpenKeyExW:
        case Operation::RegSetValueExW:
        case Operation::RegQueryValueExW:
        case Operation::RegCloseKey:
            return ErrorName(value);
        case Operation::MessageBoxW:
            return OneOf(value, {CE_SYMBOL_(IDOK)}, std::to_string(number));
        case Operation::WaitForSingleObject:
            return OneOf(value,
                         {CE_SYMBOL_(WAIT_OBJECT_0), CE_SYMBOL_(WAIT_TIMEOUT), CE_SYMBOL_(WAIT_FAILED)},
                         std::to_string(value));
        default:
            return std::nullopt;
    }
}

std::string Guid(const CEGUID& g) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "{%x-%x-%x-%x}", g.Data1, g.Data2, g.Data3, g.Data4);
    return buffer;
}

std::string PropertyValue(const CEPROPVAL& v) {
    switch (TypeFromPropID(v.propid)) {
        case CEVT_LPWSTR: return Text(v.val.lpwstr);
        case CEVT_I2: return std::to_string(v.val.iVal);
        case CEVT_UI2: return std::to_string(v.val.uiVal);
        case CEVT_I4: return std::to_string(v.val.lVal);
        case CEVT_UI4: return std::to_string(v.val.ulVal);
        case CEVT_BOOL: return Bool(v.val.boolVal);
        case CEVT_FILETIME:
            return std::to_string((static_cast<uint64_t>(v.val.filetime.dwHighDateTime) << 32) |
                                  v.val.filetime.dwLowDateTime);
        case CEVT_R8: {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "%.17g", v.val.dblVal);
            return buffer;
        }
        case CEVT_BLOB: return v.val.blob.lpb ? Bytes(v.val.blob.lpb, v.val.blob.dwCount) : "NULL";
        default: return "?";
    }
}

// Record properties as [{propid, len, flags, value}, ...]; a property the record
// lacks has no value.
std::string Properties(const CEPROPVAL* values, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) {
        const CEPROPVAL& v = values[i];
        out += (i ? ", {" : "{") + Hex(v.propid) + ", len " + std::to_string(v.wLenData) +
               ", flags " + Flags(v.wFlags, {CE_SYMBOL_(CEDB_PROPNOTFOUND), CE_SYMBOL_(CEDB_PROPDELETE)});
        if (!(v.wFlags & CEDB_PROPNOTFOUND)) out += ", " + PropertyValue(v);
        out += "}";
    }
    return out + "]";
}

std::string Ids(const CEPROPID* ids, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) out += (i ? ", " : "") + Hex(ids[i]);
    return out + "]";
}

std::string Rectangle(const RECT* r) {
    if (!r) return "NULL";
    return "{" + std::to_string(r->left) + ", " + std::to_string(r->top) + ", " +
           std::to_string(r->right) + ", " + std::to_string(r->bottom) + "}";
}

// Whether a failed call of the operation says why through GetLastError.
template <typename V>
bool ReportsLastError(host::failure::LastError<V>) {
    return true;
}
template <typename F>
bool ReportsLastError(F) {
    return false;
}

}  // namespace

// ---- One call being recorded ------------------------------------------------------------

class Recorder::Entry {
public:
    Entry(Recorder& recorder, Operation op, const char* operation) : recorder_(recorder), op_(op) {
        call_.operation = operation;
    }

    template <Direction dir, typename T>
    void Before(T value, const char* type, const char* param) {
        if constexpr (std::is_same_v<T, LPBYTE*>) blockBefore_ = value ? *value : nullptr;
        if constexpr (dir == Direction::In) {
            call_.arguments.push_back(Show(value, type, param));
        } else if constexpr (dir == Direction::Out) {
            call_.arguments.emplace_back();
        } else {
            call_.arguments.push_back(value ? Written(value, param) : "NULL");
        }
    }

    template <Direction dir, typename T>
    void After(T value, const char*, const char* param) {
        std::string& shown = call_.arguments[cursor_++];
        if constexpr (dir == Direction::Out) {
            shown = !value ? "NULL" : written_ ? "->" + Written(value, param) : "->?";
        } else if constexpr (dir == Direction::InOut) {
            if (value) shown += written_ ? "->" + Written(value, param) : "->?";
        }
    }

    // The call is about to be made: it takes its place.
    void Enter() { place_ = recorder_.Begin(call_); }

    // Whether the call succeeded, and so whether what it wrote is shown.
    void Returned(bool succeeded, DWORD error) {
        succeeded_ = succeeded;
        // A record lacking every property asked for fails, with the buffer written.
        written_ = succeeded || (op_ == Operation::CeReadRecordProps && error == ERROR_NO_DATA);
    }

    // Names the handle or buffer the call made.
    template <Operation op, typename R, typename... Args>
    void NameMade(R result, Args... args) {
        const auto a = std::tie(args...);
        if constexpr (op == Operation::CreateFileW) {
            if (succeeded_) recorder_.Name(result, "file");
        } else if constexpr (op == Operation::FindFirstFileW) {
            if (succeeded_) recorder_.Name(result, "search");
        } else if constexpr (op == Operation::CeOpenDatabaseEx) {
            if (succeeded_) recorder_.Name(result, "db");
        } else if constexpr (op == Operation::CreateWindowExW) {
            if (succeeded_) recorder_.Name(result, "window");
        } else if constexpr (op == Operation::CreateThread) {
            if (succeeded_) recorder_.Name(result, "thread");
        } else if constexpr (op == Operation::RegCreateKeyExW) {
            NameKey(std::get<7>(a));
        } else if constexpr (op == Operation::RegOpenKeyExW) {
            NameKey(std::get<4>(a));
        } else if constexpr (op == Operation::CeReadRecordProps) {
            LPBYTE* buffer = std::get<4>(a);
            if (written_ && buffer && *buffer && *buffer != blockBefore_) recorder_.Name(*buffer, "block");
        }
    }

    // Shows buffers and records by what the other parameters say of their size.
    template <Operation op, typename... Args>
    void Refine(Args... args) {
        const auto a = std::tie(args...);
        if constexpr (op == Operation::RegSetValueExW) {
            if (std::get<4>(a)) Argument(4) = RegistryData(std::get<3>(a), std::get<4>(a), std::get<5>(a));
        } else if constexpr (op == Operation::ReadFile) {
            if (succeeded_ && std::get<1>(a) && std::get<3>(a))
                Argument(1) = "->" + Bytes(std::get<1>(a), *std::get<3>(a));
        } else if constexpr (op == Operation::RegQueryValueExW) {
            if (succeeded_ && std::get<4>(a) && std::get<5>(a))
                Argument(4) = "->" + (std::get<3>(a) ? RegistryData(*std::get<3>(a), std::get<4>(a), *std::get<5>(a))
                                                     : Bytes(std::get<4>(a), *std::get<5>(a)));
        } else if constexpr (op == Operation::CeWriteRecordProps) {
            if (std::get<3>(a)) Argument(3) = Properties(std::get<3>(a), std::get<2>(a));
        } else if constexpr (op == Operation::CeReadRecordProps) {
            if (std::get<3>(a) && std::get<2>(a)) Argument(3) = Ids(std::get<3>(a), *std::get<2>(a));
            LPBYTE* buffer = std::get<4>(a);
            if (written_ && buffer && *buffer && std::get<2>(a))
                Argument(4) += " " + Properties(reinterpret_cast<const CEPROPVAL*>(*buffer), *std::get<2>(a));
        }
    }

    template <typename R>
    void Finish(R result, const char* type, bool reportsLastError, DWORD error) {
        call_.result = ShowResult(result, type);
        call_.line = call_.operation + "(";
        for (size_t i = 0; i < call_.arguments.size(); ++i)
            call_.line += (i ? ", " : "") + call_.arguments[i];
        call_.line += ") = " + call_.result;
        if (!succeeded_ && reportsLastError) call_.line += " (error " + ErrorName(error) + ")";
        recorder_.Finish(place_, std::move(call_));
    }

private:
    std::string& Argument(size_t index) { return call_.arguments[index]; }

    void NameKey(PHKEY made) {
        if (succeeded_ && made && !host::RootKeyOf(*made)) recorder_.Name(*made, "key");
    }

    // A handle, buffer or function: by its name, else by what it is.
    std::string Named(const void* value, const char* otherwise) const {
        if (value == nullptr) return "NULL";
        if (value == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
        const std::string name = recorder_.NameOf(value);
        return name.empty() ? otherwise : name;
    }
    std::string Handle(const void* handle) const {
        const std::string name = Named(handle, "");
        return name.empty() ? Hex(reinterpret_cast<uintptr_t>(handle)) : name;
    }
    std::string Msg(const MSG& m) const {
        return "{" + Handle(m.hwnd) + ", " + Message(m.message) + ", " + std::to_string(m.wParam) + ", " +
               std::to_string(m.lParam) + "}";
    }

    // A value passed in, by its type (`type` names the platform's type: HANDLE, HLOCAL
    // and LPVOID are all void*) and by the parameter it is passed as.
    template <std::integral T>
    std::string Show(T value, const char* type, const char* param) const {
        if (const auto symbolic = Symbolic(op_, param, value)) return *symbolic;
        if (std::string_view(type) == "BOOL") return Bool(value);
        return std::to_string(value);
    }
    std::string Show(void* value, const char* type, const char*) const {
        const std::string_view name = type;
        if (name == "HANDLE") return Handle(value);
        if (name == "HLOCAL") return Named(value, "ptr");
        return value ? "ptr" : "NULL";
    }
    std::string Show(HKEY key, const char*, const char*) const {
        if (const auto root = host::RootKeyOf(key))
            return text::ToUtf8(store::RegistryStore::RootName(*root));
        return Handle(key);
    }
    std::string Show(HWND window, const char*, const char*) const { return Handle(window); }
    std::string Show(HMENU menu, const char*, const char*) const { return Handle(menu); }
    std::string Show(HINSTANCE instance, const char*, const char*) const { return Handle(instance); }
    std::string Show(LPTHREAD_START_ROUTINE function, const char*, const char*) const {
        return Named(reinterpret_cast<const void*>(function), "ptr");
    }
    std::string Show(const char16_t* text, const char*, const char*) const { return Text(text); }
    std::string Show(char16_t* text, const char*, const char*) const { return Text(text); }
    std::string Show(CEGUID* guid, const char*, const char*) const { return guid ? Guid(*guid) : "NULL"; }
    std::string Show(const MSG* msg, const char*, const char*) const { return msg ? Msg(*msg) : "NULL"; }
    std::string Show(const RECT* rect, const char*, const char*) const { return Rectangle(rect); }
    template <typename T>
    std::string Show(T* pointer, const char*, const char*) const {
        return pointer ? "ptr" : "NULL";
    }

    // What a call wrote through a pointer (never NULL here).
    std::string Written(LPDWORD value, const char* param) const {
        if (const auto symbolic = Symbolic(op_, param, *value)) return *symbolic;
        return std::to_string(*value);
    }
    std::string Written(LPWORD value, const char*) const { return std::to_string(*value); }
    std::string Written(PHKEY key, const char* param) const { return Show(*key, "HKEY", param); }
    std::string Written(LPWSTR text, const char*) const { return Text(text); }
    std::string Written(LPWIN32_FIND_DATAW data, const char*) const {
        const uint64_t size = (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
        return "{" + Text(data->cFileName) + ", " +
               Flags(data->dwFileAttributes, {CE_SYMBOL_(FILE_ATTRIBUTE_READONLY),
                                              CE_SYMBOL_(FILE_ATTRIBUTE_DIRECTORY),
                                              CE_SYMBOL_(FILE_ATTRIBUTE_NORMAL)}) +
               ", " + std::to_string(size) + "}";
    }
    std::string Written(LPMSG msg, const char*) const { return Msg(*msg); }
    std::string Written(PCEGUID guid, const char*) const { return Guid(*guid); }
    std::string Written(LPBYTE* buffer, const char*) const { return Named(*buffer, "ptr"); }
    std::string Written(void*, const char*) const { return "buffer"; }
    std::string Written(LPBYTE, const char*) const { return "buffer"; }

    template <typename R>
    std::string ShowResult(R result, const char* type) const {
        if constexpr (std::is_integral_v<R>) {
            if (const auto symbolic = SymbolicResult(op_, result)) return *symbolic;
        }
        return Show(result, type, "");
    }

    Recorder& recorder_;
    const Operation op_;
    size_t place_ = 0;
    Call call_;
    size_t cursor_ = 0;
    bool succeeded_ = false;
    bool written_ = false;
    const void* blockBefore_ = nullptr;
};

// ---- The operations --------------------------------------------------------------------

#define CE_BEFORE_(dir, type, name) entry.Before<Direction::dir>(name, #type, #name);
#define CE_AFTER_(dir, type, name) entry.After<Direction::dir>(name, #type, #name);
#define CE_RECORD_(R, name, failed, ...)                                               \
    R Recorder::name(CE_PARAMS(__VA_ARGS__)) {                                         \
        Entry entry(*this, Operation::name, #name);                                    \
        CE_EACH_PARAM(CE_BEFORE_, __VA_ARGS__)                                         \
        entry.Enter();                                                                 \
        const R result = target().name(CE_ARGS(__VA_ARGS__));                         \
        const DWORD error = GetLastError();                                            \
        entry.Returned(host::Succeeded(result, CE_FAILED(failed)), error);             \
        entry.NameMade<Operation::name>(result, CE_ARGS(__VA_ARGS__));                 \
        CE_EACH_PARAM(CE_AFTER_, __VA_ARGS__)                                          \
        entry.Refine<Operation::name>(CE_ARGS(__VA_ARGS__));                           \
        entry.Finish(result, #R, ReportsLastError(CE_FAILED(failed)), error);          \
        SetLastError(error);                                                           \
        return result;                                                                 \
    }
CE_OPERATIONS(CE_RECORD_)
#undef CE_RECORD_
#undef CE_AFTER_
#undef CE_BEFORE_

// ---- The record ---------------------------------------------------------------------------

Recorder::~Recorder() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return inFlight_ == 0; });
}

void Recorder::NameFunction(const void* function, std::string name) {
    std::lock_guard lock(mutex_);
    names_[function] = std::move(name);
}

std::string Recorder::NameOf(const void* value) const {
    std::lock_guard lock(mutex_);
    const auto it = names_.find(value);
    return it == names_.end() ? std::string() : it->second;
}

std::string Recorder::Name(const void* value, const std::string& kind) {
    std::lock_guard lock(mutex_);
    // A value given out again (a freed buffer's address) takes a new name.
    return names_[value] = kind + std::to_string(++made_[kind]);
}

size_t Recorder::Begin(const Call& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    calls_.back().line = call.operation + "(...)";
    calls_.back().thread =
        threads_.try_emplace(std::this_thread::get_id(), static_cast<int>(threads_.size()) + 1).first->second;
    ++inFlight_;
    return calls_.size() - 1;
}

void Recorder::Finish(size_t place, Call call) {
    // Notified under the lock: once it is released, nothing of the recorder is touched.
    std::lock_guard lock(mutex_);
    call.thread = calls_[place].thread;
    calls_[place] = std::move(call);
    --inFlight_;
    finished_.notify_all();
}

bool Recorder::Call::Has(std::string_view text) const {
    const std::string quoted = Quoted(text);
    for (const std::string& argument : arguments)
        if (argument == text || argument == quoted) return true;
    return false;
}

std::vector<Recorder::Call> Recorder::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> Recorder::Lines() const {
    std::vector<std::string> lines;
    for (const Call& call : Calls()) lines.push_back(call.line);
    return lines;
}

std::string Recorder::Transcript() const {
    const std::vector<Call> calls = Calls();
    int threads = 0;
    for (const Call& call : calls) threads = std::max(threads, call.thread);
    std::string out;
    for (int thread = 1; thread <= threads; ++thread) {
        out += "thread " + std::to_string(thread) + "\n";
        for (const Call& call : calls)
            if (call.thread == thread) out += call.line + "\n";
    }
    return out;
}

int Recorder::Count(std::string_view operation, std::string_view argument) const {
    int n = 0;
    for (const Call& call : Calls())
        n += call.operation == operation && (argument.empty() || call.Has(argument));
    return n;
}

int Recorder::IndexOf(std::string_view operation, std::string_view argument) const {
    const std::vector<Call> calls = Calls();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].operation == operation && (argument.empty() || calls[i].Has(argument)))
            return static_cast<int>(i);
    return -1;
}

std::vector<std::string> Recorder::Arguments(std::string_view operation, size_t index) const {
    std::vector<std::string> out;
    for (const Call& call : Calls())
        if (call.operation == operation && index < call.arguments.size())
            out.push_back(call.arguments[index]);
    return out;
}

std::string Recorder::Quoted(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace testing_support
