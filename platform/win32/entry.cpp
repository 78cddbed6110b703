// The Windows program's entry. Desktop Windows starts a wide-character program
// (-municode) at wWinMain; the installer's WinMain (control/control.h) takes the
// phone's wide command line, so this entry only hands over to it and, once it has
// returned, closes the database volumes.
#include "control/control.h"  // platform/wince.h: windows.h with its narrow WinMain out of the way
#include "platform/win32/win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand) {
    const int result = WinMain(instance, previousInstance, commandLine, showCommand);
    CloseDatabaseVolumes();
    return result;
}
