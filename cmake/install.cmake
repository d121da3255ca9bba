# What `cmake --install` puts in place: the public headers, the libraries,
# qkmine, a CMake package (find_package(quorl) -> quorl::kernel, quorl::verify)
# and one pkg-config file per library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QK_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/quorl")
set(qk_installed_libraries quorl_kernel quorl_verify)

set_target_properties(quorl_kernel PROPERTIES EXPORT_NAME kernel)
install(TARGETS ${qk_installed_libraries} EXPORT quorlTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(FILES include/quorl_kernel.h include/quorl_verify.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")

# qkmine finds the libraries beside it in the installed tree.
set_target_properties(qkmine PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS qkmine RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# qkmine bench --plot runs it from there.
install(PROGRAMS scripts/plot_bench.py DESTINATION "${CMAKE_INSTALL_DATADIR}/qkmine")

install(EXPORT quorlTargets NAMESPACE quorl:: DESTINATION "${QK_INSTALL_CMAKEDIR}")
configure_package_config_file(cmake/quorlConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/quorlConfig.cmake" INSTALL_DESTINATION "${QK_INSTALL_CMAKEDIR}")
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/quorlConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/quorlConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/quorlConfigVersion.cmake" DESTINATION "${QK_INSTALL_CMAKEDIR}")

# The .pc files find the prefix from their own place, so the tree can move
# (and `cmake --install --prefix` works).
file(RELATIVE_PATH QK_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
foreach(lib IN LISTS qk_installed_libraries)
  configure_file(cmake/${lib}.pc.in "${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc" @ONLY)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc"
    DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endforeach()
