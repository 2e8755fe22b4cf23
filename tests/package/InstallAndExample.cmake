# Installs the built tree into a scratch prefix as the README shows it (stripped), builds the
# example program of examples/library as another project would (find_package against that
# prefix), runs it on a sample and checks what it printed (the "dib" registration among it) and
# wrote; builds the program of tests/package/embedding the same way.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSCRATCH=... -DCXX=... [-DCXX_FLAGS=...] -P InstallAndExample.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${SCRATCH}/prefix)
file(REMOVE_RECURSE ${SCRATCH})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --strip)
# A stripped ELF file names no symbol table and no debug sections among its sections.
file(STRINGS ${prefix}/bin/bmp2rle sections REGEX "^\\.(symtab|debug_info)$")
if(sections)
  message(FATAL_ERROR "the installed converter is not stripped: it has ${sections}")
endif()
if(NOT EXISTS ${prefix}/share/man/man1/bmp2rle.1)
  message(FATAL_ERROR "no manual page in ${prefix}/share/man/man1")
endif()
file(GLOB_RECURSE targets ${prefix}/*/VDIBitmapTargets.cmake)
file(READ "${targets}" exported)
if(exported MATCHES "vdib_build_flags")
  message(FATAL_ERROR "the build-only flags leak into ${targets}")
endif()
# Users name headers with their folder; the folder itself on the path would shadow their own.
if(exported MATCHES "include/VDIBitmap")
  message(FATAL_ERROR "include/VDIBitmap itself is on the package's include path")
endif()

# The installed headers are exactly those of the source tree's include/VDIBitmap.
file(GLOB installed_headers RELATIVE ${prefix}/include/VDIBitmap ${prefix}/include/VDIBitmap/*)
file(GLOB source_headers RELATIVE ${SOURCE_DIR}/include/VDIBitmap ${SOURCE_DIR}/include/VDIBitmap/*)
if(NOT installed_headers STREQUAL source_headers)
  message(FATAL_ERROR "installed headers ${installed_headers}\nare not include/VDIBitmap's ${source_headers}")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/library -B ${SCRATCH}/example -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Debug)
run(${CMAKE_COMMAND} --build ${SCRATCH}/example)
# The program of the other Package tests, built alike.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/embedding -B ${SCRATCH}/embedding -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Debug)
run(${CMAKE_COMMAND} --build ${SCRATCH}/embedding)

# Without a stem the example writes into its build folder.
run(${SCRATCH}/example/vdib_example ${SOURCE_DIR}/examples/sample8.bmp)
if(NOT EXISTS ${SCRATCH}/example/example_rle.bmp OR NOT EXISTS ${SCRATCH}/example/example_drawing.bmp)
  message(FATAL_ERROR "the example wrote elsewhere than its build folder: ${output}")
endif()
run(${SCRATCH}/example/vdib_example ${SOURCE_DIR}/examples/sample8.bmp ${SCRATCH}/sample8)
# The library scope has registered TDIBitmap, as the converter's process frame does.
if(NOT output MATCHES "\"dib\" is registered: Device Independent Bitmap\n")
  message(FATAL_ERROR "no \"dib\" registration: ${output}")
endif()
if(NOT output MATCHES "127 x 64, 8 bits; .* \\(254 x 128\\)")
  message(FATAL_ERROR "unexpected output: ${output}")
endif()
# The drawing: 24 bits, 254 x 128. The compressed copy: the installed converter's output.
file(READ ${SCRATCH}/sample8_drawing.bmp header OFFSET 18 LIMIT 16 HEX)  # width, height, planes, bits, compression
if(NOT header STREQUAL "fe000000800000000100180000000000")
  message(FATAL_ERROR "sample8_drawing.bmp: unexpected header fields ${header}")
endif()
run(${prefix}/bin/bmp2rle ${SOURCE_DIR}/examples/sample8.bmp ${SCRATCH}/converted.bmp)
file(SHA256 ${SCRATCH}/sample8_rle.bmp example_hash)
file(SHA256 ${SCRATCH}/converted.bmp converted_hash)
if(NOT example_hash STREQUAL converted_hash)
  message(FATAL_ERROR "the example's RLE file differs from the converter's")
endif()
