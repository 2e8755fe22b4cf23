// Pieces of the Win32 back end that its source files share; not for use outside this folder.
#pragma once

// <windows.h>, included the one way the whole program includes it.
#include <VDIBitmap/Platform.h>

namespace vdib::os::detail {

// Registers the console control handler that removes the temporary file of a safe replacement in
// progress when Ctrl+C, Ctrl+Break or closing the console window ends the process (Files.cpp).
void InstallInterruptCleanup();

// Removes that temporary file as the process ends at once (a fault, std::terminate); never waits,
// since the thread that faulted may hold the lock around its name (Files.cpp).
void RemovePendingFilesAtExit() noexcept;

}  // namespace vdib::os::detail
