# Platform and link choices for the gateway.

# 32-bit targets (the armhf gateway): 64-bit time_t and file offsets, so that unsigned 32-bit
# timestamps past 2038 convert to the right dates and readdir/stat work on large file systems
# (and under qemu-user on a 64-bit host, whose 64-bit directory offsets a 32-bit readdir refuses).
# libcoap's only time_t in its interface is coap_ticks_to_rt(), which the tool must not call
# (scripts/cross-armhf checks it).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()

# LANMODEM_STATIC_LIBSTDCXX: put libstdc++ and libgcc inside the programs, for gateways whose
# system libstdc++ is older than the compiler's (GLIBCXX_3.4.x symbol versions). libc and libcoap
# stay shared.
option(LANMODEM_STATIC_LIBSTDCXX "Link libstdc++ and libgcc statically" OFF)
if(LANMODEM_STATIC_LIBSTDCXX)
  if(SANITIZE)
    message(FATAL_ERROR "LANMODEM_STATIC_LIBSTDCXX does not go with SANITIZE")
  endif()
  add_link_options(-static-libstdc++ -static-libgcc)
endif()
