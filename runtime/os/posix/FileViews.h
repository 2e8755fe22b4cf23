// File views of pixel blocks as the bus-error handlers see them (POSIX side only).
#pragma once

namespace vdib::os {

// For a SIGBUS handler: when `address` lies in a view of a file that was cut short under it, the
// page there is replaced by zero bytes, the view is marked as no longer intact, and true is
// returned (the faulting access can run again). Safe in a signal handler, in any thread.
bool RepairCutFileView(const void* address) noexcept;

}  // namespace vdib::os
