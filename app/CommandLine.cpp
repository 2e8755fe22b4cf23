#include "CommandLine.h"

#include <cstring>
#include <vector>

#include <VDIBitmap/System.h>

namespace vdib {

namespace {

constexpr char Quote = '"';

// A byte that ends an argument or lies between arguments; 0 ends the text.
bool IsSeparatorOrEnd(char c) { return static_cast<unsigned char>(c) <= ' '; }

// Walks one argument from `p`, handing each byte that belongs to it to `take`; returns the
// position behind the argument. The same walk counts the bytes and then copies them.
template <class Take>
const char* WalkArgument(const char* p, TCharacterStep next, Take take) {
    auto takeCharacter = [&](const char* from) {
        const char* to = next(from);
        for (; from != to; ++from) take(*from);
        return to;
    };
    while (!IsSeparatorOrEnd(*p)) {
        if (*p == Quote) {
            p = next(p);
            while (*p != '\0' && *p != Quote) p = takeCharacter(p);
            if (*p != '\0') p = next(p);
        } else {
            p = takeCharacter(p);
        }
    }
    return p;
}

}  // namespace

const char* NextSingleByte(const char* position) { return *position == '\0' ? position : position + 1; }

std::string NextArgument(const char*& position, TCharacterStep next) {
    const char* p = position;
    for (;;) {
        while (*p != '\0' && IsSeparatorOrEnd(*p)) p = next(p);
        if (p[0] == Quote && p[1] == Quote)
            p += 2;
        else
            break;
    }

    std::size_t length = 0;
    WalkArgument(p, next, [&](char) { ++length; });
    std::string argument(length, '\0');
    std::size_t filled = 0;
    position = WalkArgument(p, next, [&](char c) { argument[filled++] = c; });
    return argument;
}

std::string GetCommandArgument(const std::string& commandLine, int index, TCharacterStep next) {
    const char* position = commandLine.c_str();
    std::string argument;
    for (;;) {
        argument = NextArgument(position, next);
        if (index <= 0 || argument.empty()) return argument;
        --index;
    }
}

std::string GetCommandArgument(int index) {
    if (index < 0) return {};
    if (index == 0) return ModuleFileName();
    // Where the system keeps the command line as one string, the program splits it itself.
    if (const char* commandLine = SystemCommandLine()) return GetCommandArgument(commandLine, index, NextSystemCharacter);
    // Elsewhere the arguments come already split; an empty one would otherwise shift every name
    // after it.
    const std::vector<std::string>& arguments = ProcessArguments();
    int remaining = index;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].empty()) continue;
        if (--remaining == 0) return arguments[i];
    }
    return {};
}

std::size_t FindLastDelimiter(std::string_view delimiters, std::string_view name, TCharacterStep next) {
    // Which bytes are trail bytes is only known walking from the front. A zero byte ends the
    // walk, as it ends the text for the system; the bytes after it stand alone.
    const std::string text(name);
    std::vector<bool> isTrail(text.size(), false);
    for (const char* p = text.c_str(); *p != '\0';) {
        const char* following = next(p);
        for (const char* q = p + 1; q < following; ++q) isTrail[static_cast<std::size_t>(q - text.c_str())] = true;
        p = following;
    }
    for (std::size_t position = name.size(); position > 0; --position) {
        const char c = name[position - 1];
        if (c == '\0' || delimiters.find(c) == std::string_view::npos) continue;
        if (isTrail[position - 1]) {
            --position;  // its lead byte is no delimiter either
            continue;
        }
        return position;
    }
    return 0;
}

std::string ReplaceExtension(std::string_view name, std::string_view extension, TCharacterStep next) {
    // "/" separates folders on every system we run on, as "\\" and ":" do on Windows: without it
    // "dir.x/photo" would lose "x/photo" as its extension and its output would land elsewhere.
    const std::size_t position = FindLastDelimiter("./\\:", name, next);
    std::string result(position != 0 && name[position - 1] == '.' ? name.substr(0, position - 1) : name);
    result += extension;
    return result;
}

}  // namespace vdib
