# The commands of the README's "Making a BMP that bmp2rle accepts", run as they stand with
# ImageMagick and the built converter on pictures of several widths: photo.png of many colours
# with transparency, scan.jpg, logo.png of few colours and lineart.png of two. Each command must
# succeed (the converter fails on any input it does not convert).
#
#   cmake -DREADME=... -DBMP2RLE=... -DSCRATCH=... -P Recipes.cmake

find_program(convert convert)
if(NOT convert)
  message("ImageMagick is not installed: the README's commands were not run")
  return()
endif()

# The section's indented lines, as one shell script.
file(READ ${README} readme)
string(REGEX REPLACE ".*\n## Making a BMP that bmp2rle accepts\n" "" section "${readme}")
string(REGEX REPLACE "\n## .*" "" section "${section}")
string(REGEX MATCHALL "\n    [^\n]*" commands "\n${section}")
string(REPLACE ";" "" commands "${commands}")
string(REPLACE "\n    " "\n" commands "${commands}")
if(NOT commands MATCHES "\nconvert .*\nbmp2rle ")
  message(FATAL_ERROR "no commands in the README's section:\n${section}")
endif()

get_filename_component(bin ${BMP2RLE} DIRECTORY)
file(REMOVE_RECURSE ${SCRATCH})
foreach(width 1 2 3 5 8 13 127)
  file(WRITE ${SCRATCH}/${width}/recipes.sh "set -ex
convert -seed 7 -size ${width}x9 plasma: -alpha set -channel A -evaluate set 60% +channel photo.png
convert -seed 7 -size ${width}x9 plasma: scan.jpg
convert -size ${width}x9 gradient:navy-gold -colors 12 logo.png
convert -size ${width}x9 pattern:checkerboard -monochrome lineart.png${commands}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "PATH=${bin}:$ENV{PATH}" sh recipes.sh
                  WORKING_DIRECTORY ${SCRATCH}/${width} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(SEND_ERROR "${width} pixels wide: the README's commands failed:\n${out}")
  endif()
endforeach()
