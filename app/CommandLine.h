// The converter's command line: splitting a command-line string into arguments, the
// arguments the process was started with, and the default output name.
//
// Names are byte strings in the system's code page and are never converted. In a double-byte
// code page a lead byte and the byte after it form one character: that trail byte is never
// taken for a quote, a separator or a delimiter.
#pragma once

#include <string>
#include <string_view>

#include <VDIBitmap/SysUtils.h>
#include <VDIBitmap/System.h>

namespace vdib {

// A code page as the walk over text needs it: the position of the character after the one at
// `position` in zero-terminated text, two bytes on for a double-byte lead byte followed by a
// non-zero byte, otherwise one; `position` itself at the terminating zero.
using TCharacterStep = const char* (*)(const char* position);

// Single-byte code pages and UTF-8: every byte stands alone.
const char* NextSingleByte(const char* position);
// Code page 932 is NextCP932Character, the system's NextSystemCharacter (runtime).

// Extracts one argument from the zero-terminated text at `position` and moves `position` just
// behind it. Separators (bytes 1 to 32) and empty quoted pairs ("") before the argument are
// skipped. The argument runs while the byte is above 32; a double quote opens a stretch, ended
// by the next double quote or the end of the text, in which spaces belong to the argument; the
// quotes are dropped. There is no escape character. An empty result means the text is used up.
std::string NextArgument(const char*& position, TCharacterStep next);

// Argument `index` of a whole command line whose first argument is the program as typed
// (index 0); empty when there are fewer arguments.
std::string GetCommandArgument(const std::string& commandLine, int index, TCharacterStep next);

// Argument `index` of this process. Index 0 is the program's own file as the system reports it
// (at most 260 characters); 1 and above come from the arguments the process received, with
// empty arguments dropped before counting, so `bmp2rle "" b.bmp` names b.bmp as argument 1.
std::string GetCommandArgument(int index);

// The 1-based position of the last byte of `name` that is one of `delimiters`, 0 when there is
// none. A zero byte never counts; a trail byte of a double-byte character is skipped.
std::size_t FindLastDelimiter(std::string_view delimiters, std::string_view name, TCharacterStep next);

// `name` without its extension, followed by `extension`. The extension is the text from the
// last "." that comes after the last "/", "\" or ":", on every system (folders and drives as
// Windows names them, "/" as every system does): "pics.v2/photo" has none.
std::string ReplaceExtension(std::string_view name, std::string_view extension,
                             TCharacterStep next = NextSystemCharacter);

}  // namespace vdib
