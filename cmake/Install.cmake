# What `cmake --install` and `cpack -G DEB` put on a machine: the programs,
# the device library (headers, static libraries, tarnix.pc), the udev rule
# that lets the user at the seat reach modules without root, man pages and
# bash completion.
include(GNUInstallDirs)

# Updater and birdtool install themselves; the stand-ins and the sharing
# example are real tools a lab uses too.
foreach(tool tarnix-sim update-server tarnix-share)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The device library: the link core's layers and the object model, highest
# first so that a static link resolves downward; public headers only.
set(tarnix_libs tarnix_object tarnix_server tarnix_discovery tarnix_link tarnix_os tarnix_base tarnix_log)
install(TARGETS ${tarnix_libs} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
get_property(tarnix_headers GLOBAL PROPERTY TARNIX_PUBLIC_HEADERS)
install(FILES ${tarnix_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnix)

set(TARNIX_PC_LIBS "")
foreach(lib ${tarnix_libs})
  string(APPEND TARNIX_PC_LIBS " -l${lib}")
endforeach()
file(RELATIVE_PATH TARNIX_PC_UP /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(${PROJECT_SOURCE_DIR}/packaging/tarnix.pc.in
               ${PROJECT_BINARY_DIR}/packaging/tarnix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tarnix.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# udev looks in <prefix>/lib/udev/rules.d whatever the library directory is.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-tarnix.rules
        DESTINATION lib/udev/rules.d)

foreach(page Updater tarnix-fleet birdtool tarnix-sim)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/man/${page}.1
                 ${PROJECT_BINARY_DIR}/packaging/man/${page}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/man/${page}.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/Updater
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package: dpkg-shlibdeps works out the runtime libraries the
# binaries link (libusb, hidapi, libcurl, zlib, CZMQ, ...).
set(CPACK_PACKAGE_NAME "tarnix-updater")
set(CPACK_PACKAGE_VENDOR "Velorn")
set(CPACK_PACKAGE_CONTACT "Velorn <support@velorn.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater and device library for Tarnix modules")
set(CPACK_PACKAGE_DESCRIPTION
    "Updater discovers Tarnix instrument modules on USB, TCP/IP and behind routing modules, downloads firmware from the update server, writes it into modules and recovers them through their boot ROM.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_STRIP_FILES ON)
include(CPack)
