# What `cmake --install` puts in place: the program and its man page, and the
# library with its public headers, a CMake package and a pkg-config file, so
# that another project writes
#
#   find_package(quorvane4d 0.1 REQUIRED)
#   target_link_libraries(app PRIVATE quorvane4d::quorvane4d)
#
# (or `pkg-config --cflags --libs quorvane4d`) and includes
# <quorvane4d/quorvane4d.h>. Encoder stages, tables and codec steps stay
# private: the public headers reach each other by relative paths under
# include/quorvane4d/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvane4d)

install(TARGETS quorvane_4d RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/quorvane_4d.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(TARGETS quorvane4d EXPORT quorvane4d_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
)
install(FILES ${PROJECT_SOURCE_DIR}/src/quorvane4d.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvane4d)
foreach(header IN ITEMS
    base/result.h
    base/processors.h
    position/board.h
    position/ply_trailer.h
    position/fen4.h
    position/ply_log.h
    position/piece_list.h
    dataset/pack_reader.h
    dataset/pack_writer.h
    encoder/encoding.h
    encoder/encoder_pool.h
    frames/container.h
    frames/container_file.h)
  cmake_path(GET header PARENT_PATH folder)
  install(FILES ${PROJECT_SOURCE_DIR}/src/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvane4d/${folder})
endforeach()

install(EXPORT quorvane4d_targets NAMESPACE quorvane4d:: FILE quorvane4dTargets.cmake DESTINATION ${QUORVANE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quorvane4dConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quorvane4dConfig.cmake
  INSTALL_DESTINATION ${QUORVANE_CMAKE_DIR})
# 0.x: a minor version may change the API.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quorvane4dConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quorvane4dConfig.cmake ${PROJECT_BINARY_DIR}/quorvane4dConfigVersion.cmake
  DESTINATION ${QUORVANE_CMAKE_DIR})

# pkg-config: the library is static, so its dependencies are required outright.
set(QUORVANE_PC_REQUIRES "zlib libzstd")
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvane4d.pc.in ${PROJECT_BINARY_DIR}/quorvane4d.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorvane4d.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# `cmake --build <build> --target uninstall` removes what the last install
# of each part put in place (cmake/uninstall.cmake).
add_custom_target(uninstall COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                  -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake VERBATIM)
