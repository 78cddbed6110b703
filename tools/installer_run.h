// Starting the installer on an image, shared by "run" and "check".
//
// An update folder inside the image keeps its own platform path; one outside it is
// attached as "\Storage Card". The installer's executable is "Update.exe" in that
// folder. Everything that could refuse the run is checked by InstallerOptions,
// before anything runs.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "platform/host/backend.h"
#include "platform/host/host.h"

namespace tools {

// The device options for running the installer of updateDir on image (no screen
// set); throws ToolError when the folder is missing, lies in the image's state
// folder, cannot be named on the phone, or makes the executable's path too long.
host::DeviceOptions InstallerOptions(const std::filesystem::path& image, const std::string& updateDir);

// Adds to the options the write trace that CEUPDATE_TRACE=FILE asks for: one line per
// committed registry or database write (DeviceOptions::trace in host.h) of every
// device the command binds, all into the one file. Throws ToolError when the file
// cannot be written.
void TraceFromEnvironment(host::DeviceOptions& options);

// Binds the device, calls WinMain, unbinds; returns WinMain's result. `front`, when
// given, makes a backend to put in front of the bound device for the run; it is taken
// away again before the device is unbound. The caller owns what it makes and keeps
// it alive until RunInstaller has returned.
using FrontFactory = std::function<host::Backend*(host::Backend& device)>;
int RunInstaller(const host::DeviceOptions& options, const FrontFactory& front = nullptr);

}  // namespace tools
