# The commands of the README's "Making a BMP that bmp2rle accepts", run as they stand with
# ImageMagick and the built converter, on pictures of several widths (each folder's inputs:
# photo.png with many colours and transparency, scan.jpg, logo.png with few colours, lineart.png
# with two). Every command must succeed, and every output the converter writes be RLE8 or RLE4.
#
#   cmake -DREADME=... -DBMP2RLE=... -DSCRATCH=... -P Recipes.cmake

find_program(convert convert)
if(NOT convert)
  message("ImageMagick is not installed: the README's commands were not run")
  return()
endif()

# The indented lines from the section's heading to the next heading, as one shell script.
file(READ ${README} readme)
string(FIND "${readme}" "\n## Making a BMP that bmp2rle accepts\n" begin)
string(SUBSTRING "${readme}" ${begin} -1 section)
string(SUBSTRING "${section}" 1 -1 section)
string(FIND "${section}" "\n## " end)
string(SUBSTRING "${section}" 0 ${end} section)
string(REGEX MATCHALL "\n    [^\n]*" commands "\n${section}")
string(REPLACE ";" "" script "${commands}")
string(REPLACE "\n    " "\n" script "set -ex${script}\n")
string(REGEX MATCHALL "\nbmp2rle [a-z]+\\.bmp" conversions "${script}")
list(LENGTH conversions count)
if(count LESS 4)
  message(FATAL_ERROR "the README's section has ${count} conversions:\n${script}")
endif()

get_filename_component(bin ${BMP2RLE} DIRECTORY)
file(REMOVE_RECURSE ${SCRATCH})
foreach(width 1 2 3 5 8 13 127)
  set(dir ${SCRATCH}/${width})
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/recipes.sh "${script}")
  file(WRITE ${dir}/inputs.sh "set -e
convert -seed 7 -size ${width}x9 plasma: -alpha set -channel A -evaluate set 60% +channel photo.png
convert -seed 7 -size ${width}x9 plasma: scan.jpg
convert -size ${width}x9 gradient:navy-gold -colors 12 logo.png
convert -size ${width}x9 pattern:checkerboard -monochrome lineart.png
")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "PATH=${bin}:$ENV{PATH}" sh -c "sh inputs.sh && sh recipes.sh"
                  WORKING_DIRECTORY ${dir} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(SEND_ERROR "${width} pixels wide: the README's commands failed:\n${out}")
    continue()
  endif()
  foreach(conversion IN LISTS conversions)
    string(REGEX REPLACE "\nbmp2rle ([a-z]+)\\.bmp" "\\1_rle.bmp" output "${conversion}")
    file(READ ${dir}/${output} fields OFFSET 28 LIMIT 6 HEX)  # bits, compression
    if(NOT fields MATCHES "^(080001|040002)000000$")
      message(SEND_ERROR "${width} pixels wide: ${output} is no RLE file (bits and compression ${fields})")
    endif()
  endforeach()
endforeach()
