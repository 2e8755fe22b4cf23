// The process in WebAssembly (Emscripten), under Node or in a browser's worker: what differs
// from the POSIX side. Files, standard output, mappings and the registry of temporary files are
// the POSIX side's own, which compile and work here as they are.
//
// There are no signals: nothing interrupts a run that could be caught, so no interrupt handler is
// installed, and a fault is a trap of the WebAssembly machine, which ends the run in the host
// without reaching this code (no run-time error line). There are no loaded images either: the
// module is one image, and a code address is its offset in the binary (the reports' addresses
// are taken from the host's stack trace, see Compiler.h).
#include <emscripten.h>
#include <unistd.h>

#include <cstring>

#include <VDIBitmap/SysUtils.h>

#include "../Process.h"
#include "../posix/Interrupts.h"

namespace vdib::os {

namespace {

constexpr std::size_t MaxNameLength = 260;

// The script that holds the module: under Node the one `node` was given, in a worker the worker's
// own address; the module's name is its last path component.
EM_JS(int, HostScriptName, (char* to, int room), {
    var name = "";
    if (typeof process === "object" && process.argv && process.argv.length > 1) {
        name = process.argv[1];
    } else if (typeof location === "object" && location.pathname) {
        name = decodeURIComponent(location.pathname);
    }
    return stringToUTF8(name, to, room);
});

}  // namespace

}  // namespace vdib::os

// The frames of a trace read "... wasm-function[index]:0xOFFSET ..." for WebAssembly code and
// name a script otherwise. The first WebAssembly frame is the function that asks; the next one is
// its caller, at the call. 0 when the trace holds no such frame (too deep, another host).
EM_JS(const void*, vdib_caller_address, (), {
    var frames = new Error().stack.split(String.fromCharCode(10));
    var seen = 0;
    for (var i = 0; i < frames.length; ++i) {
        var at = frames[i].indexOf("wasm-function[");
        var offset = at < 0 ? -1 : frames[i].indexOf(":0x", at);
        if (offset >= 0 && ++seen == 2) return parseInt(frames[i].substring(offset + 1), 16);
    }
    return 0;
});

namespace vdib::os {

namespace {

// Under Node with the real file system, the host opens standard input, output and error without
// a name, so that fstat cannot tell what they are (a file, a pipe, a terminal) and fails; they are
// given the names under which the system shows each process its own. In a browser they are the
// host's devices and keep theirs.
EM_JS(void, NameStandardStreams, (), {
    if (typeof FS !== "object" || !FS.streams) return;
    var names = ["/dev/stdin", "/dev/stdout", "/dev/stderr"];
    for (var fd = 0; fd < 3; ++fd) {
        if (FS.streams[fd] && FS.streams[fd].path === "") FS.streams[fd].path = names[fd];
    }
});

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

// Standard descriptors always exist here (the host opens them), and no signal can end the
// process: a reader that goes away is a failed write already.
void PrepareProcess() { NameStandardStreams(); }

void ExitProcess(int code) noexcept {
    RemovePendingFiles();
    ::_exit(code);
}

std::string ModuleFileName() {
    char path[MaxNameLength * 4 + 1];
    const int length = HostScriptName(path, sizeof path);
    std::string name(path, static_cast<std::size_t>(length));
    if (name.size() > MaxNameLength) name.resize(MaxNameLength);
    return name;
}

const char* CommandLine() noexcept { return nullptr; }

// The module sees no locale of its host: text is UTF-8, which has no double-byte characters that
// could hide a quote or a delimiter.
const char* NextCharacter(const char* position) noexcept { return *position == '\0' ? position : position + 1; }

// Built without threads: the encoders work on the calling thread.
unsigned UsableProcessorCount() noexcept { return 1; }

// Traps are not delivered to the program (see above).
void InstallFaultHandlers(TFaultHandler) {}

uint32_t ImageOffset(const void* address) noexcept {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

// The module is the only image.
std::string ImageName(const void*) { return BaseName(ModuleFileName().c_str()); }

}  // namespace vdib::os
