// The process in WebAssembly (Emscripten), under Node or in a browser's worker: what differs
// from the POSIX side. Files, standard output, mappings and the registry of temporary files are
// the POSIX side's own, which compile and work here as they are.
//
// There are no signals: nothing interrupts a run that could be caught, so no interrupt handler is
// installed. A fault is a trap of the WebAssembly machine, or the host's stack running out; it
// unwinds the module's frames as a host exception. Under Node that exception ends up uncaught,
// and a listener put ahead of the host's own turns it into the run-time error that the fault
// gives natively:
//   integer division by zero or overflow -> 200
//   memory access outside the module's memory -> 216
//   the host's call stack exhausted -> 202
// Other traps (abort, an unreachable instruction) are left to the host, which reports them and
// ends with its own code. An access through a null pointer does not trap: address 0 is ordinary
// memory here. In a browser's worker nothing listens; the page sees the exception.
//
// There are no loaded images either: the module is one image, and a code address is its offset in
// the binary (taken from the host's stack trace, see Compiler.h).
#include <emscripten.h>
#include <unistd.h>

#include <cstring>

#include <VDIBitmap/SysUtils.h>

#include "../Process.h"
#include "../posix/Interrupts.h"

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

// The frame's report of a fault; the listener below hands it the faults of the host (see above).
TFaultHandler OnFault = nullptr;

EM_JS(void, ListenForFaults, (), {
    if (typeof process !== "object" || !process.prependListener) return;
    process.prependListener("uncaughtException", function(error) {
        var text = String(error && error.message);
        var code = 0;
        if (error instanceof WebAssembly.RuntimeError) {
            if (text.indexOf("by zero") >= 0 || text.indexOf("integer overflow") >= 0) code = 200;
            else if (text.indexOf("out of bounds") >= 0) code = 216;
        } else if (error instanceof RangeError && text.indexOf("call stack") >= 0) {
            code = 202;
        }
        if (code == 0) return;
        var frames = String(error.stack).split(String.fromCharCode(10));
        var address = 0;
        for (var i = 0; i < frames.length && address == 0; ++i) {
            var at = frames[i].indexOf("wasm-function[");
            var offset = at < 0 ? -1 : frames[i].indexOf(":0x", at);
            if (offset >= 0) address = parseInt(frames[i].substring(offset + 1), 16);
        }
        // The exit inside unwinds as an exception of the host's, which may not leave a listener.
        try {
            _vdib_web_fault(code, address);
        } catch (exit) {
        }
        process.exit(code);
    });
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

void InstallFaultHandlers(TFaultHandler onFault) {
    OnFault = onFault;
    ListenForFaults();
}

uint32_t ImageOffset(const void* address) noexcept {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

// The module is the only image.
std::string ImageName(const void*) { return BaseName(ModuleFileName().c_str()); }

}  // namespace vdib::os

// Called by the listener above with the run-time error's code and the offset of the trapping
// instruction (0 when the host's stack overflowed in its own code). Ends the process.
extern "C" EMSCRIPTEN_KEEPALIVE void vdib_web_fault(int code, uintptr_t address) {
    if (vdib::os::OnFault != nullptr) vdib::os::OnFault(code, reinterpret_cast<const void*>(address));
    vdib::os::ExitProcess(code);
}
