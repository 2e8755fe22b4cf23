#include "CommandLine.h"

#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <VDIBitmap/System.h>

namespace vdib {

namespace {

constexpr std::size_t MaxModuleNameLength = 260;
constexpr char Quote = '"';

// A byte that ends an argument or lies between arguments; 0 ends the text.
bool IsSeparatorOrEnd(char c) { return static_cast<unsigned char>(c) <= ' '; }

TLeadBytes MakeCP932LeadBytes() {
    TLeadBytes table{};
    for (int b = 0x81; b <= 0x9F; ++b) table[static_cast<std::size_t>(b)] = true;
    for (int b = 0xE0; b <= 0xFC; ++b) table[static_cast<std::size_t>(b)] = true;
    return table;
}

bool IsShiftJIS(const char* codeSet) {
    for (const char* name : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS932"})
        if (::strcasecmp(codeSet, name) == 0) return true;
    return false;
}

TLeadBytes LocaleLeadBytes() {
    // A private locale object, so that the program's global locale stays as it is.
    const locale_t locale = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return NoLeadBytes();
    const bool shiftJIS = IsShiftJIS(::nl_langinfo_l(CODESET, locale));
    ::freelocale(locale);
    return shiftJIS ? CP932LeadBytes() : NoLeadBytes();
}

// Walks one argument from `p`, handing each byte that belongs to it to `take`; returns the
// position behind the argument. The same walk counts the bytes and then copies them.
template <class Take>
const char* WalkArgument(const char* p, const TLeadBytes& leadBytes, Take take) {
    auto takeCharacter = [&](const char* from) {
        const char* next = CharNext(from, leadBytes);
        for (; from != next; ++from) take(*from);
        return next;
    };
    while (!IsSeparatorOrEnd(*p)) {
        if (*p == Quote) {
            p = CharNext(p, leadBytes);
            while (*p != '\0' && *p != Quote) p = takeCharacter(p);
            if (*p != '\0') p = CharNext(p, leadBytes);
        } else {
            p = takeCharacter(p);
        }
    }
    return p;
}

}  // namespace

const TLeadBytes& NoLeadBytes() {
    static const TLeadBytes table{};
    return table;
}

const TLeadBytes& CP932LeadBytes() {
    static const TLeadBytes table = MakeCP932LeadBytes();
    return table;
}

const TLeadBytes& SystemLeadBytes() {
    static const TLeadBytes table = LocaleLeadBytes();
    return table;
}

const char* CharNext(const char* position, const TLeadBytes& leadBytes) {
    if (*position == '\0') return position;
    if (leadBytes[static_cast<unsigned char>(*position)] && position[1] != '\0') return position + 2;
    return position + 1;
}

std::string NextArgument(const char*& position, const TLeadBytes& leadBytes) {
    const char* p = position;
    for (;;) {
        while (*p != '\0' && IsSeparatorOrEnd(*p)) p = CharNext(p, leadBytes);
        if (p[0] == Quote && p[1] == Quote)
            p += 2;
        else
            break;
    }

    std::size_t length = 0;
    WalkArgument(p, leadBytes, [&](char) { ++length; });
    std::string argument(length, '\0');
    std::size_t filled = 0;
    position = WalkArgument(p, leadBytes, [&](char c) { argument[filled++] = c; });
    return argument;
}

std::string GetCommandArgument(const std::string& commandLine, int index, const TLeadBytes& leadBytes) {
    const char* position = commandLine.c_str();
    std::string argument;
    for (;;) {
        argument = NextArgument(position, leadBytes);
        if (index <= 0 || argument.empty()) return argument;
        --index;
    }
}

std::string GetCommandArgument(int index) {
    if (index < 0) return {};
    if (index == 0) {
        char path[MaxModuleNameLength];
        const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
        return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
    }
    // The system hands over the arguments already split; an empty one would otherwise shift
    // every name after it.
    const std::vector<std::string>& arguments = ProcessArguments();
    int remaining = index;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].empty()) continue;
        if (--remaining == 0) return arguments[i];
    }
    return {};
}

std::size_t FindLastDelimiter(std::string_view delimiters, std::string_view name, const TLeadBytes& leadBytes) {
    // Which bytes are trail bytes is only known walking from the front.
    std::vector<bool> isTrail(name.size(), false);
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (leadBytes[static_cast<unsigned char>(name[i])] && i + 1 < name.size()) isTrail[++i] = true;
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

std::string ReplaceExtension(std::string_view name, std::string_view extension, const TLeadBytes& leadBytes) {
    // "/" separates directories on this system; without it "dir.x/photo" would lose
    // "x/photo" as its extension.
    const std::size_t position = FindLastDelimiter("./\\:", name, leadBytes);
    std::string result(position != 0 && name[position - 1] == '.' ? name.substr(0, position - 1) : name);
    result += extension;
    return result;
}

}  // namespace vdib
