// The recording backend. Layout: how values are shown; one call being recorded
// (Entry); the generated operations; the queries.
#include "testing/recorder.h"

#include <concepts>
#include <cstdio>
#include <span>
#include <string_view>
#include <tuple>

#include "platform/host/host.h"
#include "store/bytes.h"
#include "store/text.h"

namespace testing_support {

namespace {

// ---- How values are shown -----------------------------------------------------------

enum class Direction { In, Out, InOut };

std::string Hex(uintptr_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%lx", static_cast<unsigned long>(value));
    return buffer;
}

std::string Text(const char16_t* text) {
    return text ? Recorder::Quoted(text::ToUtf8(text)) : "NULL";
}

std::string Handle(const void* handle) {
    if (handle == nullptr) return "NULL";
    if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
    return Hex(reinterpret_cast<uintptr_t>(handle));
}

std::string Bytes(const void* data, size_t size) {
    return store::HexOf(std::span(static_cast<const uint8_t*>(data), size));
}

std::string Guid(const CEGUID& g) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%x-%x-%x-%x", g.Data1, g.Data2, g.Data3, g.Data4);
    return buffer;
}

// A value passed in, by its type (`type` names the platform's type: HANDLE, HLOCAL
// and LPVOID are all void*).
template <std::integral T>
std::string Show(T value, const char*) {
    return std::to_string(value);
}
std::string Show(void* value, const char* type) {
    const std::string_view name = type;
    if (name == "HANDLE") return Handle(value);
    if (name == "HLOCAL") return value ? "buffer" : "NULL";  // an address, different every run
    return value ? "ptr" : "NULL";
}
std::string Show(HKEY key, const char*) {
    if (const auto root = host::RootKeyOf(key))
        return text::ToUtf8(store::RegistryStore::RootName(*root));
    return Handle(key);
}
std::string Show(HWND window, const char*) { return Handle(window); }
std::string Show(HMENU menu, const char*) { return Handle(menu); }
std::string Show(HINSTANCE instance, const char*) { return Handle(instance); }
std::string Show(const char16_t* text, const char*) { return Text(text); }
std::string Show(char16_t* text, const char*) { return Text(text); }
std::string Show(CEGUID* guid, const char*) { return guid ? Guid(*guid) : "NULL"; }
std::string Show(const MSG* msg, const char*) {
    return msg ? "msg " + std::to_string(msg->message) : "NULL";
}
std::string Show(LPDWORD value, const char*) { return value ? std::to_string(*value) : "NULL"; }
template <typename T>
std::string Show(T* pointer, const char*) {
    return pointer ? "ptr" : "NULL";
}

// What a call wrote through a pointer (never NULL here).
std::string Written(LPDWORD value) { return std::to_string(*value); }
std::string Written(LPWORD value) { return std::to_string(*value); }
std::string Written(PHKEY key) { return Show(*key, "HKEY"); }
std::string Written(LPWSTR text) { return Text(text); }
std::string Written(LPWIN32_FIND_DATAW data) { return Text(data->cFileName); }
std::string Written(LPMSG msg) { return "msg " + std::to_string(msg->message); }
std::string Written(PCEGUID guid) { return Guid(*guid); }
std::string Written(LPBYTE* buffer) { return *buffer ? "buffer" : "NULL"; }
std::string Written(void*) { return "buffer"; }
std::string Written(LPBYTE) { return "buffer"; }

std::string Properties(const CEPROPVAL* values, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) {
        const CEPROPVAL& v = values[i];
        out += (i ? ", " : "") + Hex(v.propid) + " ";
        switch (TypeFromPropID(v.propid)) {
            case CEVT_LPWSTR: out += Text(v.val.lpwstr); break;
            case CEVT_I2: out += std::to_string(v.val.iVal); break;
            case CEVT_UI2: out += std::to_string(v.val.uiVal); break;
            case CEVT_I4: out += std::to_string(v.val.lVal); break;
            case CEVT_UI4: out += std::to_string(v.val.ulVal); break;
            case CEVT_BOOL: out += std::to_string(v.val.boolVal); break;
            case CEVT_BLOB: out += v.val.blob.lpb ? Bytes(v.val.blob.lpb, v.val.blob.dwCount) : "NULL"; break;
            default: out += "?"; break;
        }
    }
    return out + "]";
}

std::string Ids(const CEPROPID* ids, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) out += (i ? ", " : "") + Hex(ids[i]);
    return out + "]";
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
    Entry(Recorder& recorder, const char* operation) : recorder_(recorder) {
        call_.operation = operation;
    }

    template <Direction dir, typename T>
    void Before(T value, const char* type) {
        if constexpr (dir == Direction::In) {
            call_.arguments.push_back(Show(value, type));
        } else if constexpr (dir == Direction::Out) {
            call_.arguments.emplace_back();
        } else {
            call_.arguments.push_back(value ? Written(value) : "NULL");
        }
    }

    template <Direction dir, typename T>
    void After(T value, const char*) {
        std::string& shown = call_.arguments[cursor_++];
        if constexpr (dir == Direction::Out) {
            shown = !value ? "NULL" : succeeded_ ? "->" + Written(value) : "->?";
        } else if constexpr (dir == Direction::InOut) {
            if (value) shown += succeeded_ ? "->" + Written(value) : "->?";
        }
    }

    // The call is about to be made: it takes its place.
    void Enter() { place_ = recorder_.Begin(call_); }
    void Succeeded(bool succeeded) { succeeded_ = succeeded; }
    bool succeeded() const { return succeeded_; }
    std::string& Argument(size_t index) { return call_.arguments[index]; }

    // Shows buffers and records by what the other parameters say of their size.
    template <host::Operation op, typename... Args>
    void Refine(Args... args) {
        const auto a = std::tie(args...);
        if constexpr (op == host::Operation::RegSetValueExW) {
            if (std::get<4>(a)) Argument(4) = Bytes(std::get<4>(a), std::get<5>(a));
        } else if constexpr (op == host::Operation::ReadFile) {
            if (succeeded_ && std::get<1>(a) && std::get<3>(a))
                Argument(1) = "->" + Bytes(std::get<1>(a), *std::get<3>(a));
        } else if constexpr (op == host::Operation::RegQueryValueExW) {
            if (succeeded_ && std::get<4>(a) && std::get<5>(a))
                Argument(4) = "->" + Bytes(std::get<4>(a), *std::get<5>(a));
        } else if constexpr (op == host::Operation::CeWriteRecordProps) {
            if (std::get<3>(a)) Argument(3) = Properties(std::get<3>(a), std::get<2>(a));
        } else if constexpr (op == host::Operation::CeReadRecordProps) {
            if (std::get<3>(a) && std::get<2>(a)) Argument(3) = Ids(std::get<3>(a), *std::get<2>(a));
        }
    }

    template <typename R>
    void Finish(R result, const char* type, bool reportsLastError, DWORD error) {
        call_.result = Show(result, type);
        call_.line = call_.operation + "(";
        for (size_t i = 0; i < call_.arguments.size(); ++i)
            call_.line += (i ? ", " : "") + call_.arguments[i];
        call_.line += ") = " + call_.result;
        if (!succeeded_ && reportsLastError) call_.line += " (error " + std::to_string(error) + ")";
        recorder_.Finish(place_, std::move(call_));
    }

private:
    Recorder& recorder_;
    size_t place_ = 0;
    Call call_;
    size_t cursor_ = 0;
    bool succeeded_ = false;
};

// ---- The operations --------------------------------------------------------------------

#define CE_BEFORE_(dir, type, name) entry.Before<Direction::dir>(name, #type);
#define CE_AFTER_(dir, type, name) entry.After<Direction::dir>(name, #type);
#define CE_RECORD_(R, name, failed, ...)                                               \
    R Recorder::name(CE_PARAMS(__VA_ARGS__)) {                                         \
        Entry entry(*this, #name);                                                     \
        CE_EACH_PARAM(CE_BEFORE_, __VA_ARGS__)                                         \
        entry.Enter();                                                                 \
        const R result = target().name(CE_ARGS(__VA_ARGS__));                         \
        const DWORD error = GetLastError();                                            \
        entry.Succeeded(host::Succeeded(result, CE_FAILED(failed)));                   \
        CE_EACH_PARAM(CE_AFTER_, __VA_ARGS__)                                          \
        entry.Refine<host::Operation::name>(CE_ARGS(__VA_ARGS__));                     \
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

size_t Recorder::Begin(const Call& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    calls_.back().line = call.operation + "(...)";
    ++inFlight_;
    return calls_.size() - 1;
}

void Recorder::Finish(size_t place, Call call) {
    // Notified under the lock: once it is released, nothing of the recorder is touched.
    std::lock_guard lock(mutex_);
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
