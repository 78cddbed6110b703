// Binding the host platform to a device image, and the screen the status window and
// the message box are drawn on.
//
// One device is bound per process. Binding opens the image's stores; the platform
// operations of wince.h then act on that image until it is unbound. The host tools
// (the ceupdate command, tests) call these; the installer's code never does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wince.h"
#include "store/store.h"

namespace host {

// Where the status window and the message box appear. Called on the thread that
// makes the platform call; ShowMessage blocks until the message is dismissed.
class Screen {
public:
    virtual ~Screen() = default;
    // A window was painted (UpdateWindow after InvalidateRect): its current text.
    virtual void ShowWindow(const std::u16string& text, uint32_t style) = 0;
    // A message box; returns when it is dismissed.
    virtual void ShowMessage(const std::u16string& text, const std::u16string& caption,
                             uint32_t style) = 0;
};

// A host folder that appears on the device under a platform path of its own (an
// update folder outside the image is attached as "\Storage Card").
using Attachment = store::PathAttachment;

// What the device's stores went through while it was bound: filled in by the device,
// read once it is unbound. The installer goes on past a failed write as it does on
// the phone; this is how its caller learns of it.
struct StoreReport {
    size_t committedWrites = 0;  // registry keys and values made, record writes, committed
    std::string firstFailure;    // the first store failure's sentence; empty when none
};

struct DeviceOptions {
    std::filesystem::path image;
    std::u16string modulePath;  // what GetModuleFileNameW returns, e.g. u"\\Storage Card\\Update.exe"
    std::vector<Attachment> attachments;
    Screen* screen = nullptr;  // nullptr: nothing is shown and message boxes return at once
    // Called with one line per registry or database write, in the order they are
    // committed (for the kill test's trace); empty: no trace. Lines are tab-separated
    // UTF-8 with tabs, line ends and backslashes in names escaped (\t \n \r \\):
    //   reg  key    KEY_PATH
    //   reg  value  KEY_PATH  NAME  TYPE  HEX_BYTES
    //   db   VOLUME  DATABASE  RECORD_OID  PROPID  HEX_BYTES     (numbers in decimal)
    // It is called with the device's lock held, so it must not call platform operations.
    std::function<void(const std::string&)> trace;
    // Filled in while the device is bound (writes committed, the first store
    // failure); nullptr: not kept.
    StoreReport* storeReport = nullptr;
};

class Backend;

// What the callers of a device hold open: its handles by kind, and the buffers
// CeReadRecordProps handed out that have not been given back (LocalFree).
struct OpenCounts {
    int files = 0;
    int searches = 0;
    int keys = 0;
    int databases = 0;
    int threads = 0;
    int windows = 0;
    int readBuffers = 0;
    bool operator==(const OpenCounts&) const = default;
};

// The registry root a predefined key handle stands for (HKEY_LOCAL_MACHINE ...), or
// none for any other handle. Its name is store::RegistryStore::RootName(root).
std::optional<store::RegistryStore::KeyId> RootKeyOf(HKEY key);

// Binds the device, which becomes the bottom of the backend stack (backend.h), and
// returns it: the target for a backend that must wrap this device itself. Throws
// store::Error with one clear sentence when the image cannot be used (not an image,
// unreadable store). Rebinding unbinds first.
Backend& BindDevice(const DeviceOptions& options);

// Commits and closes everything the device holds open, and unbinds it. Returns what
// its callers still held open then, once the device's threads had ended (nothing when
// no device was bound).
OpenCounts UnbindDevice();

// RAII form for tests and the runner.
class DeviceBinding {
public:
    explicit DeviceBinding(const DeviceOptions& options) : device_(BindDevice(options)) {}
    ~DeviceBinding() { UnbindDevice(); }
    DeviceBinding(const DeviceBinding&) = delete;
    DeviceBinding& operator=(const DeviceBinding&) = delete;
    Backend& device() const { return device_; }

private:
    Backend& device_;
};

}  // namespace host
