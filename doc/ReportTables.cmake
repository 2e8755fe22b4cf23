# The report tables of README.md and doc/bmp2rle.1, made from doc/reports.tsv, their one source.
#
#   cmake -P doc/ReportTables.cmake             writes both tables (between their "reports.tsv" markers)
#   cmake -DCHECK=ON -P doc/ReportTables.cmake  changes nothing, fails where a table differs from the
#                                               rows or a row from the texts the converter holds
#
# The second is the test Docs.ReportTables. The converter's texts are the message constants of
# include/VDIBitmap/Messages.h and SysUtils.h, the usage line of app/main.cpp, and the run-time
# error lines; each one the converter can print must be a row, and each row one of them.
cmake_minimum_required(VERSION 3.20)
get_filename_component(root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# Markdown: the text as code, a line break as <br>. Roff: one tagged paragraph a row, `code` in
# bold with "-" as \- (a typeset hyphen would not paste into a shell). The rows are walked line by
# line, not as a list: a line may hold ";".
set(markdown "| Report | Class | What it means | What to do |\n|---|---|---|---|\n")
set(roff "")
set(rows "")
file(READ ${root}/doc/reports.tsv rest)
while(NOT rest STREQUAL "")
  string(FIND "${rest}" "\n" eol)
  if(eol EQUAL -1)
    string(APPEND rest "\n")
    continue()
  endif()
  string(SUBSTRING "${rest}" 0 ${eol} line)
  math(EXPR eol "${eol} + 1")
  string(SUBSTRING "${rest}" ${eol} -1 rest)
  if("${line}" MATCHES "^(#.*|class\t.*)$")
    continue()
  elseif(NOT "${line}" MATCHES "^([^\t]+)\t([^\t]+)\t([^\t]+)\t([^\t]+)$")
    message(FATAL_ERROR "doc/reports.tsv: a row of other than four fields: ${line}")
  endif()
  set(class "${CMAKE_MATCH_1}")
  set(text "${CMAKE_MATCH_2}")
  set(meaning "${CMAKE_MATCH_3}")
  set(todo "${CMAKE_MATCH_4}")
  string(APPEND rows "${class}\t${text}\n")
  if(class STREQUAL "-")
    set(class "")
  endif()
  string(REPLACE "\\r\\n" "`<br>`" md_text "`${text}`")
  string(APPEND markdown "| ${md_text} | ${class} | ${meaning} | ${todo} |\n")
  # A tag holds one line: the lines after a report's first one begin the paragraph.
  string(REPLACE "\\r\\n" ";" lines "${text}")
  list(POP_FRONT lines first)
  string(APPEND roff ".TP\n\\fB${first}\\fR")
  if(class)
    string(APPEND roff " (${class})")
  endif()
  foreach(next IN LISTS lines)
    string(APPEND roff "\n\\fB${next}\\fR\n.br")
  endforeach()
  string(APPEND roff "\n${meaning}\n.br\nWhat to do: ${todo}\n")
endwhile()
while(roff MATCHES "`([^`]*)`")
  string(REPLACE "-" "\\-" code "${CMAKE_MATCH_1}")
  string(REPLACE "`${CMAKE_MATCH_1}`" "\\fB${code}\\fR" roff "${roff}")
endwhile()

# Each file's table lies between a line holding "reports.tsv begin" and one holding "reports.tsv end".
function(table_in file table)
  file(READ ${file} content)
  string(FIND "${content}" "reports.tsv begin" begin)
  string(FIND "${content}" "reports.tsv end" end)
  if(begin EQUAL -1 OR end EQUAL -1)
    message(FATAL_ERROR "${file}: no reports.tsv begin and end markers")
  endif()
  string(SUBSTRING "${content}" ${begin} -1 after)
  string(FIND "${after}" "\n" eol)
  math(EXPR start "${begin} + ${eol} + 1")
  # The end marker's line starts after the last line break before it.
  string(SUBSTRING "${content}" 0 ${end} before_end)
  string(FIND "${before_end}" "\n" stop REVERSE)
  math(EXPR stop "${stop} + 1")
  math(EXPR length "${stop} - ${start}")
  string(SUBSTRING "${content}" ${start} ${length} current)
  if(CHECK)
    if(NOT current STREQUAL table)
      message(SEND_ERROR "${file}: its report table is not the one doc/reports.tsv makes: run cmake -P doc/ReportTables.cmake")
    endif()
  elseif(NOT current STREQUAL table)
    string(SUBSTRING "${content}" 0 ${start} head)
    string(SUBSTRING "${content}" ${stop} -1 tail)
    file(WRITE ${file} "${head}${table}${tail}")
    message(STATUS "wrote the report table of ${file}")
  endif()
endfunction()
table_in(${root}/README.md "${markdown}")
table_in(${root}/doc/bmp2rle.1 "${roff}")
if(NOT CHECK)
  return()
endif()

# The texts the converter holds, as the rows write them: an exception's message with its full stop,
# %s a file name (NAME) or after a line break the system's words (TEXT), %d a number (N).
set(held "")
file(READ ${root}/app/main.cpp main)
string(REGEX MATCH "UsageLine = \"([^\"]*)\"" ignored "${main}")
string(APPEND held "-\t${CMAKE_MATCH_1}\n")
foreach(code 200 202 207 216 217)
  string(APPEND held "-\tRuntime error ${code} at XXXXXXXX\n")
endforeach()
# Message constants by class; the others belong to parts the converter does not reach (the
# clipboard, memory streams, drawing, assertions, colour reduction) or to faults, reported as
# run-time errors.
# EOSError is a failed platform call: the conversion makes none that raises it today, but the
# process frame would report one like any other exception.
set(printed EReadError:ReadError EWriteError:WriteError EFOpenError:FOpenError EFCreateError:FCreateError
    EOutOfMemory:OutOfMemory EOSError:OSError EOSError:UnkOSError EInvalidGraphic:NotBitmapFile
    EInvalidGraphic:InvalidHeaderSize EInvalidGraphic:InvalidPMBitCount EInvalidGraphic:InvalidBitCount
    EInvalidGraphic:UnknownFormat EInvalidGraphic:InvalidSize EInvalidGraphic:BadRLEData
    EInvalidOperation:CannotCompressBitCount EInvalidOperation:CannotCompressTopDown)
set(not_printed InvalidClipboardFormat SeekNotImplemented MemoryStreamError RangeError AbstractError AssignError
    NoCanvasHandle InvalidPointer AssertionFormat AssertionFailed AccessViolation DivByZero StackOverflow
    ExternalException ReductionBitCount ReductionEmpty)
file(READ ${root}/include/VDIBitmap/Messages.h constants)
file(READ ${root}/include/VDIBitmap/SysUtils.h runtime_constants)
string(REGEX MATCHALL "constexpr const char\\* [A-Za-z]+ = \"[^\"]*\"" constants "${constants}${runtime_constants}")
foreach(constant IN LISTS constants)
  string(REGEX MATCH "([A-Za-z]+) = \"([^\"]*)\"" ignored "${constant}")
  set(name ${CMAKE_MATCH_1})
  set(text "${CMAKE_MATCH_2}")
  set(entry ${printed})
  list(FILTER entry INCLUDE REGEX ":${name}$")
  if(entry)
    string(REPLACE ":${name}" "" class ${entry})
    string(REPLACE "\\r\\n%s" "\\r\\nTEXT" text "${text}")
    string(REPLACE "%s" "NAME" text "${text}")
    string(REPLACE "%d" "N" text "${text}")
    if(NOT text MATCHES "\\.$")
      string(APPEND text ".")
    endif()
    string(APPEND held "${class}\t${text}\n")
  elseif(NOT name IN_LIST not_printed)
    message(SEND_ERROR "the message ${name} (\"${text}\") is new: add its row to doc/reports.tsv and its name "
                       "to `printed` here, or its name to `not_printed` if the converter cannot print it")
  endif()
endforeach()

function(sorted_lines text out)
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  list(REMOVE_ITEM lines "")
  list(SORT lines)
  list(JOIN lines "\n" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
sorted_lines("${held}" held)
sorted_lines("${rows}" rows)
if(NOT rows STREQUAL held)
  message(SEND_ERROR "doc/reports.tsv lists\n${rows}\n\nbut the converter holds\n${held}")
endif()
