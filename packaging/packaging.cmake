# Installing and packaging: the programs in bin/, our Argon2 libraries in a
# directory of their own under lib/ (private to these programs, out of the
# system's library path), found through a run-time path relative to the
# program, so that an installed tree can be moved anywhere.
include(GNUInstallDirs)

set(QUORLEN_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/quorlen-gpu-miner")
file(RELATIVE_PATH quorlen_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${QUORLEN_PRIVATE_LIBDIR}")

set(quorlen_programs quorlen-gpu-miner)
foreach(program quorlen-bench quorlen-devnode argon2_bench)
  if(TARGET ${program})
    list(APPEND quorlen_programs ${program})
  endif()
endforeach()
set(quorlen_libraries argon2-gpu-common argon2-cuda)

# "$ORIGIN/lib" is where the build tree keeps the libraries; the installed
# tree keeps them in the private directory.
set_target_properties(${quorlen_programs} PROPERTIES INSTALL_RPATH "$ORIGIN/lib;$ORIGIN/${quorlen_bin_to_lib}")
set_target_properties(${quorlen_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS ${quorlen_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${quorlen_libraries} LIBRARY DESTINATION ${QUORLEN_PRIVATE_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/quorlen-gpu-miner.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_BINARY_DIR}/quorlen-gpu-miner.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorlen-gpu-miner)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorlen-gpu-miner/docs
        FILES_MATCHING PATTERN "*.md")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/grafana-dashboard.json
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/quorlen-gpu-miner)

# The Debian package; dpkg-shlibdeps finds the packages of the shared
# libraries the programs need and declares them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorlen-gpu-miner)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Argon2id proof-of-work miner for NVIDIA GPUs, with a development node")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "quorlen-gpu-miner maintainers <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_STRIP_FILES ON)  # debug information stays in the build tree
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/lib")
# The unit file needs a systemd that hands credentials to services.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd (>= 250)")
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/package")
include(CPack)
