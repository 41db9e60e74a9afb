# The documented install of the Python package, into a scratch prefix given
# with --prefix: the installed package imports and encodes on its own, away
# from the build tree, and the uninstall removes every trace of it. The
# build's own install manifest (the record of a real install, which the
# uninstall target reads) is left as it was.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DPYTHON=... -DSITE=... -DSOURCE_DIR=... -P install_test.cmake
set(manifest ${BUILD_DIR}/install_manifest_python.txt)
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(EXISTS ${manifest})
  file(RENAME ${manifest} ${WORK_DIR}/kept_manifest.txt)
endif()
# DESTDIR as well: a site folder configured as an absolute path ignores the
# prefix, and a test must never write into the system's own folders.
set(root ${WORK_DIR}/root)
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} --component python --prefix ${prefix}
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(EXISTS ${manifest})
  file(RENAME ${manifest} ${WORK_DIR}/manifest.txt)
endif()
if(EXISTS ${WORK_DIR}/kept_manifest.txt)
  file(RENAME ${WORK_DIR}/kept_manifest.txt ${manifest})
endif()
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install --component python --prefix failed (${installed})")
endif()

if(IS_ABSOLUTE ${SITE})
  set(site ${root}${SITE})
else()
  set(site ${root}${prefix}/${SITE})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${site} ${PYTHON} -c
  "import quorvane4d, sys; assert quorvane4d.__file__.startswith('${root}/'), quorvane4d.__file__; sys.exit(int(not quorvane4d.encode('4d-fen v1: K@0,0,0,0').any()))"
  WORKING_DIRECTORY / RESULT_VARIABLE imported)
if(NOT imported EQUAL 0)
  message(FATAL_ERROR "the package installed under ${site} does not import and encode (${imported})")
endif()

# The manifest lists the files without DESTDIR: the uninstall is given them
# under the scratch root, never the system's own.
file(STRINGS ${WORK_DIR}/manifest.txt installed_files)
list(TRANSFORM installed_files PREPEND ${root})
list(JOIN installed_files "\n" installed_files)
file(WRITE ${WORK_DIR}/manifest_in_root.txt "${installed_files}\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DMANIFESTS=${WORK_DIR}/manifest_in_root.txt -P ${SOURCE_DIR}/cmake/uninstall.cmake
                OUTPUT_QUIET)
if(EXISTS ${site}/quorvane4d)
  message(FATAL_ERROR "the uninstall left ${site}/quorvane4d")
endif()
