# Cross build for the AP: 32-bit big-endian MIPS, Debian's g++-mips-linux-gnu.
# Tests built with this file run under qemu-mips (set as the emulator below).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# APM_TARGET_PREFIX (cache or environment variable): a prefix with the
# target's Lua 5.1 and libmosquitto, as scripts/target-deps makes it.
if(NOT APM_TARGET_PREFIX AND DEFINED ENV{APM_TARGET_PREFIX})
  set(APM_TARGET_PREFIX "$ENV{APM_TARGET_PREFIX}")
endif()
set(APM_TARGET_PREFIX "${APM_TARGET_PREFIX}" CACHE PATH
    "Prefix of the target's Lua 5.1 and libmosquitto (scripts/target-deps)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES APM_TARGET_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/mips-linux-gnu ${APM_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips;-L;/usr/mips-linux-gnu)

# Only the target's own packages: the host's Lua and libmosquitto must not be
# found for it (without target builds of them, the agents are left out).
set(ENV{PKG_CONFIG_PATH} "")
if(APM_TARGET_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${APM_TARGET_PREFIX}/lib/pkgconfig:/usr/lib/mips-linux-gnu/pkgconfig")
else()
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/mips-linux-gnu/pkgconfig")
endif()
