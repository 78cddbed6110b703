// observer.exe: runs the installer under a real Win32 API and watches it as a person
// would, for scripts/run-windows.sh.
//
//   observer.exe [--wait-for FILE] CHANGES.reg PROGRAM CURRENT_DIR
//
// Starts PROGRAM with CURRENT_DIR as its current folder, finds the program's windows,
// and when its message box is up prints the status window's text and the message's
// caption and text as "ceupdate run" prints them without a terminal. With --wait-for
// it then waits until FILE exists (a screenshot is being taken). It presses OK, waits
// for the program to end, writes to CHANGES.reg every registry key written while the
// program ran, with all its values, and exits with the program's exit code (124 when
// it has not ended within five minutes, 125 when it cannot be started or the file
// cannot be written).
//
// A key was written when the system's last-write time of it is not earlier than the
// program's start: a key made, a value set to new data (setting the data a value
// holds already writes nothing). CHANGES.reg is in the registry editor's syntax,
// UTF-16 LE, every value as hex(TYPE) so its bytes come back exactly. The keys are
// those of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE; the first is a
// merged view of the Software\Classes keys of the other two, so those two subtrees
// are left out there. Links are listed as links, not followed.
#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr int kMaxDepth = 64;
constexpr DWORD kPollMs = 20;
constexpr DWORD kGiveUpMs = 300000;
constexpr int kTimedOut = 124;
constexpr int kCannotRun = 125;
constexpr WORD kMessageTextId = 0xFFFF;  // the message box's text control

// ---- The registry written ----

struct Root {
    HKEY key;
    const wchar_t* name;
};
const Root kRoots[] = {{HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT"},
                       {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"},
                       {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"}};

std::wstring Quoted(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"') out += L'\\';
        out += c;
    }
    return out + L"\"";
}

std::wstring HexData(DWORD type, const BYTE* data, DWORD size) {
    wchar_t head[32];
    wsprintfW(head, L"hex(%x):", type);
    std::wstring out = head;
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (DWORD i = 0; i < size; ++i) {
        if (i) out += L',';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

// Subtrees left out of the listing: Software\Classes under the two roots whose merged
// view HKEY_CLASSES_ROOT lists, and what Wine's own processes write while any program
// runs (the service manager on each service start, the display driver when the
// desktop comes up).
struct LeftOutKey {
    HKEY root;
    const wchar_t* path;
};
const LeftOutKey kLeftOut[] = {
    {HKEY_CURRENT_USER, L"Software\\Classes"},
    {HKEY_LOCAL_MACHINE, L"Software\\Classes"},
    {HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\ServiceCurrent"},
    {HKEY_LOCAL_MACHINE, L"System\\ControlSet001\\Control\\ServiceCurrent"},
    {HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Video"},
    {HKEY_LOCAL_MACHINE, L"System\\ControlSet001\\Control\\Video"},
};

bool LeftOut(const Root& root, const std::wstring& path) {
    for (const LeftOutKey& out : kLeftOut) {
        if (out.root == root.key && CompareStringOrdinal(path.c_str(), -1, out.path, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

// A link (a key that stands for another, such as CurrentControlSet): listed, never
// followed, so no subtree is listed twice.
bool IsLink(HKEY key) {
    DWORD type = 0;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// Lists the keys written since a moment, each with all its values, into one text; the
// name and data buffers are made once and grow as a value needs.
class RegistryLister {
public:
    explicit RegistryLister(const FILETIME& since) : since_(since) {}

    std::wstring text = L"\xFEFFWindows Registry Editor Version 5.00\r\n";

    void Key(const Root& root, HKEY key, const std::wstring& path, int depth) {
        FILETIME written = {};
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, &written) == ERROR_SUCCESS &&
            CompareFileTime(&written, &since_) >= 0) {
            text += L"\r\n[" + std::wstring(root.name) + (path.empty() ? L"" : L"\\" + path) + L"]\r\n";
            Values(key);
        }
        if (depth >= kMaxDepth || IsLink(key)) return;
        for (DWORD i = 0;; ++i) {
            DWORD chars = static_cast<DWORD>(name_.size());
            if (RegEnumKeyExW(key, i, name_.data(), &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                return;
            const std::wstring child(name_.data(), chars);
            const std::wstring childPath = path.empty() ? child : path + L"\\" + child;
            if (LeftOut(root, childPath)) continue;
            HKEY sub = nullptr;
            if (RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &sub) != ERROR_SUCCESS) continue;
            Key(root, sub, childPath, depth + 1);
            RegCloseKey(sub);
        }
    }

private:
    void Values(HKEY key) {
        for (DWORD i = 0;; ++i) {
            DWORD nameChars = static_cast<DWORD>(name_.size());
            DWORD dataSize = static_cast<DWORD>(data_.size());
            DWORD type = 0;
            LONG r = RegEnumValueW(key, i, name_.data(), &nameChars, nullptr, &type, data_.data(), &dataSize);
            if (r == ERROR_MORE_DATA && dataSize > data_.size()) {
                data_.resize(dataSize);
                nameChars = static_cast<DWORD>(name_.size());
                r = RegEnumValueW(key, i, name_.data(), &nameChars, nullptr, &type, data_.data(), &dataSize);
            }
            if (r != ERROR_SUCCESS) return;
            const std::wstring valueName(name_.data(), nameChars);
            text += (valueName.empty() ? std::wstring(L"@") : Quoted(valueName)) + L"=" +
                    HexData(type, data_.data(), dataSize) + L"\r\n";
        }
    }

    FILETIME since_;
    std::vector<wchar_t> name_ = std::vector<wchar_t>(32768);
    std::vector<BYTE> data_ = std::vector<BYTE>(1 << 16);
};

bool WriteChanges(const wchar_t* file, const FILETIME& since) {
    RegistryLister lister(since);
    for (const Root& root : kRoots) lister.Key(root, root.key, L"", 0);
    const std::wstring& text = lister.text;
    const HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const bool ok = WriteFile(out, text.data(), bytes, &written, nullptr) && written == bytes;
    CloseHandle(out);
    return ok;
}

// ---- Windows ----

std::wstring WindowText(HWND window) {
    std::vector<wchar_t> text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1);
    const int n = GetWindowTextW(window, text.data(), static_cast<int>(text.size()));
    return std::wstring(text.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64];
    const int n = GetClassNameW(window, name, 64);
    return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

struct Seen {
    DWORD process = 0;
    HWND status = nullptr;
    HWND message = nullptr;
};

BOOL CALLBACK LookAt(HWND window, LPARAM param) {
    Seen& seen = *reinterpret_cast<Seen*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != seen.process) return TRUE;
    const std::wstring cls = ClassOf(window);
    if (CompareStringOrdinal(cls.c_str(), -1, L"Static", -1, TRUE) == CSTR_EQUAL) seen.status = window;
    if (cls == L"#32770") seen.message = window;
    return TRUE;
}

// ---- Output ----

void Print(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), n, nullptr,
                            nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// A text's lines, each ended by "\n": CR LF, LF or CR end a line.
std::wstring Lines(const std::wstring& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' || text[i] == L'\n') {
            out += L'\n';
            if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out + L"\n";
}

void PrintScreen(const Seen& seen) {
    if (seen.status) Print(Lines(WindowText(seen.status)));
    const HWND textControl = GetDlgItem(seen.message, kMessageTextId);
    Print(L"\n" + WindowText(seen.message) + L"\n" + (textControl ? Lines(WindowText(textControl)) : L"") +
          L"[ OK ]\n");
}

bool Exists(const wchar_t* file) { return GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES; }

// Watches the program until its message box is up, shows it and presses OK; false
// when the program ended first.
bool AnswerMessage(const PROCESS_INFORMATION& program, const wchar_t* waitFor, DWORD deadline) {
    Seen seen;
    seen.process = program.dwProcessId;
    while (GetTickCount() < deadline) {
        if (WaitForSingleObject(program.hProcess, kPollMs) == WAIT_OBJECT_0) return false;
        EnumWindows(&LookAt, reinterpret_cast<LPARAM>(&seen));
        if (!seen.message || !IsWindowVisible(seen.message)) continue;
        PrintScreen(seen);
        while (waitFor && !Exists(waitFor) && GetTickCount() < deadline) Sleep(kPollMs);
        PostMessageW(seen.message, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(seen.message, IDOK)));
        return true;
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int at = 1;
    const wchar_t* waitFor = nullptr;
    if (argc > 2 && std::wstring(argv[1]) == L"--wait-for") {
        waitFor = argv[2];
        at = 3;
    }
    if (argc - at != 3) {
        Print(L"usage: observer.exe [--wait-for FILE] CHANGES.reg PROGRAM CURRENT_DIR\n");
        return kCannotRun;
    }
    const wchar_t* changes = argv[at];
    std::wstring program = argv[at + 1];
    const wchar_t* currentDir = argv[at + 2];

    FILETIME started = {};
    GetSystemTimeAsFileTime(&started);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, currentDir, &startup,
                        &info))
        return kCannotRun;
    const DWORD deadline = GetTickCount() + kGiveUpMs;
    AnswerMessage(info, waitFor, deadline);
    const DWORD left = deadline > GetTickCount() ? deadline - GetTickCount() : 0;
    if (WaitForSingleObject(info.hProcess, left) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, kTimedOut);
        return kTimedOut;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    if (!WriteChanges(changes, started)) return kCannotRun;
    return static_cast<int>(exitCode);
}
