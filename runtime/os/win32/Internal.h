// Pieces of the Win32 back end that its source files share; not for use outside this folder.
#pragma once

// <windows.h>, included the one way the whole program includes it.
#include <VDIBitmap/Platform.h>

#include <string>

namespace vdib::os::detail {

// File names between UTF-16 and the code page that the ...A file calls use for them: the
// process's code page (UTF-8 under the programs' manifest), or the OEM one after
// SetFileApisToOEM. Converted as those calls convert them (Files.cpp).
std::wstring WideName(const std::string& name);
std::string NarrowName(const wchar_t* name, std::size_t length);

// Registers the console control handler that removes the temporary file of a safe replacement in
// progress when Ctrl+C, Ctrl+Break or closing the console window ends the process (Files.cpp).
void InstallInterruptCleanup();

// Removes that temporary file as the process ends at once (a fault, std::terminate); never waits,
// since the thread that faulted may hold the lock around its name (Files.cpp).
void RemovePendingFilesAtExit() noexcept;

}  // namespace vdib::os::detail
