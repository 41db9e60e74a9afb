# Installs this build into an empty prefix, builds the consumer project
# against that prefix alone (through its CMake package, and by hand through
# pkg-config), and checks that the library, used from outside,
# writes the same container as the program.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DCXX=... -DGENERATOR=... [-DLINK_FLAGS=...] -P consumer_test.cmake
set(fen4 "4d-fen v1: K@0,0,0,4; Q@0,0,0,3; P/w@1,0,0,4; Py@2,1,4,0; py@6,7,7,3; N@3,3,3,3; b@4,4,4,4; R@2,5,1,6; k@7,7,7,4")
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# The build's install manifest, the record of a real install that the
# uninstall target reads, is left as it was.
set(manifest ${BUILD_DIR}/install_manifest.txt)
if(EXISTS ${manifest})
  file(RENAME ${manifest} ${WORK_DIR}/kept_manifest.txt)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} RESULT_VARIABLE installed OUTPUT_QUIET)
file(REMOVE ${manifest})
if(EXISTS ${WORK_DIR}/kept_manifest.txt)
  file(RENAME ${WORK_DIR}/kept_manifest.txt ${manifest})
endif()
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install --prefix ${prefix} failed (${installed})")
endif()
foreach(installed IN ITEMS bin/quorvane_4d share/man/man1/quorvane_4d.1)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# Only the prefix may provide the package: no package registry, and the
# consumer's cache must name a configuration inside the prefix.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
file(STRINGS ${WORK_DIR}/build/CMakeCache.txt found REGEX "^quorvane4d_DIR:")
string(FIND "${found}" "${prefix}/" at)
if(NOT at GREATER 0)
  message(FATAL_ERROR "the package was not found in the prefix: ${found}")
endif()
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

# The same program built by hand through pkg-config: the flags it gives, and
# nothing else, must be enough (one include directory, the library and its
# dependencies). C++17 is enough for the public headers.
file(GLOB_RECURSE pc_file ${prefix}/*/quorvane4d.pc)
if(NOT pc_file)
  message(FATAL_ERROR "quorvane4d.pc is not installed")
endif()
cmake_path(GET pc_file PARENT_PATH pc_dir)
find_program(PKG_CONFIG pkg-config REQUIRED)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} ${PKG_CONFIG} --cflags --libs quorvane4d
                OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know quorvane4d")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
set(include_dirs "")
foreach(flag IN LISTS pc_flags)
  if(flag MATCHES "^-I(.*)")
    cmake_path(NORMAL_PATH CMAKE_MATCH_1 OUTPUT_VARIABLE dir)
    list(APPEND include_dirs ${dir})
  endif()
endforeach()
if(NOT include_dirs STREQUAL "${prefix}/include")
  message(FATAL_ERROR "pkg-config gives other include directories than <prefix>/include: ${include_dirs}")
endif()
separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
run(${CXX} -std=c++17 -O2 ${CONSUMER_DIR}/consumer.cpp -o ${WORK_DIR}/consumer_pkg_config ${pc_flags} ${link_flags})

# The FEN4 text holds semicolons: passed quoted, outside run(), it stays one argument.
foreach(consumer IN ITEMS build/consumer consumer_pkg_config)
  cmake_path(GET consumer FILENAME name)
  execute_process(COMMAND ${WORK_DIR}/${consumer} "${fen4}" ${WORK_DIR}/${name}.quorvane4 ${WORK_DIR}/${name}.quorvanez4
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${consumer} failed (${rc}): ${err}")
  endif()
endforeach()
file(RENAME ${WORK_DIR}/consumer.quorvane4 ${WORK_DIR}/library.quorvane4)
file(RENAME ${WORK_DIR}/consumer.quorvanez4 ${WORK_DIR}/library.quorvanez4)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/consumer_pkg_config.quorvane4 ${WORK_DIR}/library.quorvane4
                RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "the two consumers wrote different containers")
endif()
execute_process(COMMAND ${prefix}/bin/quorvane_4d encode-fen4 --fen4 "${fen4}" -o ${WORK_DIR}/program.quorvane4
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "encode-fen4 failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/library.quorvane4 ${WORK_DIR}/program.quorvane4
                RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "the library's container differs from the program's")
endif()
execute_process(COMMAND ${prefix}/bin/quorvane_4d csv ${WORK_DIR}/library.quorvanez4 OUTPUT_VARIABLE from_gzip)
execute_process(COMMAND ${prefix}/bin/quorvane_4d csv ${WORK_DIR}/program.quorvane4 OUTPUT_VARIABLE from_plain)
if(NOT from_gzip STREQUAL from_plain OR from_plain STREQUAL "")
  message(FATAL_ERROR "csv of the library's gzip container:\n${from_gzip}\ndiffers from the program's:\n${from_plain}")
endif()
