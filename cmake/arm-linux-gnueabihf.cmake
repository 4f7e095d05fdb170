# Cross-build for the gateway: 32-bit ARM, hard float, Debian's multiarch armhf packages.
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Needs crossbuild-essential-armhf and the :armhf -dev packages (scripts/cross-armhf installs them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(LANMODEM_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${LANMODEM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LANMODEM_CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${LANMODEM_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Debian keeps the armhf -dev files under /usr/lib/arm-linux-gnueabihf and /usr/include, so the
# root path holds / as well as the cross toolchain's own prefix. Programs come from the host;
# headers, libraries and packages only from the target.
set(CMAKE_FIND_ROOT_PATH /usr/${LANMODEM_CROSS_TRIPLE} /)
set(CMAKE_LIBRARY_ARCHITECTURE ${LANMODEM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the armhf modules (libcoap-3-notls.pc) and never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${LANMODEM_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run through the user-mode emulator, behind a wrapper that also lets a program
# re-execute itself (binfmt_misc is not relied on). The tests that run the tool put the
# emulator in front of it.
find_program(LANMODEM_QEMU_ARM qemu-arm-static)
if(LANMODEM_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-arm-run)
endif()

# Debian package architecture for CPack.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
