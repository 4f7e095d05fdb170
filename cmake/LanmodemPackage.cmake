# Install rules and the Debian package (cpack -G DEB in the build folder).
#   cmake --install <build> [--prefix DIR]   bin/lanmodem, bin/lanmodem-sim, share/man/man1/*.1
# A cross-build for the gateway makes an armhf package (CPACK_DEBIAN_PACKAGE_ARCHITECTURE from the
# toolchain file); dependencies come from dpkg-shlibdeps (libc6, libcoap3, libssl3, libstdc++6 ...).
include(GNUInstallDirs)

install(TARGETS lanmodem lanmodem-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/lanmodem.1 ${PROJECT_SOURCE_DIR}/man/lanmodem-sim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME lanmodem)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "lanmodem developers")
set(CPACK_PACKAGE_CONTACT "lanmodem developers <lanmodem@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "maintenance and test tool for the wireless M-Bus radio modems of a gateway's LAN")
set(CPACK_PACKAGE_DESCRIPTION
    "lanmodem talks CoAP over UDP to the wireless M-Bus radio modems on the gateway's Ethernet
LAN: it logs what they report (identity, received radio frames, firmware installation results,
noise) and sends one maintenance action per run (firmware upgrade, receive mode, frame
transmit, commands, parameters, statistics, noise measurement). lanmodem-sim plays such modems
for tests.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND CMAKE_CROSSCOMPILING
   AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
# dpkg-shlibdeps reads the shared libraries' owners from the dpkg database (:armhf packages for
# the cross-build). Without it, the one library the tool needs besides the C and C++ runtimes.
find_program(LANMODEM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(LANMODEM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcoap3 (>= 4.3.1), libssl3, libc6, libstdc++6")
endif()
include(CPack)
