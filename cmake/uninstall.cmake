# Removes what `cmake --install` of this build last put in place: every file
# its install manifests list (install_manifest.txt for the program, the
# library and its headers; install_manifest_python.txt for the Python
# package), then the folders of ours left empty, with the bytecode Python
# wrote in the package's folder.
#
#   cmake --build build --target uninstall        (sudo for a system prefix)
#   cmake -DMANIFESTS="a.txt;b.txt" -P cmake/uninstall.cmake
if(NOT MANIFESTS)
  set(MANIFESTS ${BUILD_DIR}/install_manifest.txt ${BUILD_DIR}/install_manifest_python.txt)
endif()
set(folders "")
foreach(manifest IN LISTS MANIFESTS)
  if(NOT EXISTS ${manifest})
    continue()
  endif()
  file(STRINGS ${manifest} files)
  foreach(installed IN LISTS files)
    if(EXISTS "${installed}" OR IS_SYMLINK "${installed}")
      message(STATUS "Removing ${installed}")
      file(REMOVE "${installed}")
    endif()
    # Our folders (include/quorvane4d/..., lib/cmake/quorvane4d, the package)
    # go too once empty; shared ones (bin, lib, the site directory) stay.
    cmake_path(GET installed PARENT_PATH folder)
    while(folder MATCHES "/quorvane4d(/|$)")
      list(APPEND folders ${folder})
      cmake_path(GET folder PARENT_PATH folder)
    endwhile()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES folders)
# Deepest first, so that a folder's subfolders are gone before it is looked at.
list(SORT folders ORDER DESCENDING)
foreach(folder IN LISTS folders)
  file(REMOVE_RECURSE ${folder}/__pycache__)
  file(GLOB left ${folder}/*)
  if(IS_DIRECTORY ${folder} AND NOT left)
    message(STATUS "Removing ${folder}")
    file(REMOVE_RECURSE ${folder})
  endif()
endforeach()
