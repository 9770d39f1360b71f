# The device's target: 32-bit little-endian MIPS (o32 ABI), Debian's g++-mipsel-linux-gnu.
# The C library headers, libstdc++ and the start files come from the cross toolchain's own
# folder (/usr/mipsel-linux-gnu); every other library from the sysroot that scripts/mipsel-sysroot
# unpacks from Debian's mipsel packages. Tests run under qemu-mipsel with that sysroot as the
# loader's prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT TESSEL_MIPSEL_SYSROOT)
  if(DEFINED ENV{TESSEL_MIPSEL_SYSROOT})
    set(TESSEL_MIPSEL_SYSROOT "$ENV{TESSEL_MIPSEL_SYSROOT}")
  else()
    set(TESSEL_MIPSEL_SYSROOT /var/cache/tessel-mipsel/sysroot)
  endif()
endif()
set(TESSEL_MIPSEL_SYSROOT "${TESSEL_MIPSEL_SYSROOT}" CACHE PATH "Target libraries (scripts/mipsel-sysroot)")
# try_compile projects read this file again; they must see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSEL_MIPSEL_SYSROOT)
if(NOT EXISTS "${TESSEL_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig")
  message(FATAL_ERROR "No mipsel sysroot at ${TESSEL_MIPSEL_SYSROOT}: run scripts/mipsel-sysroot")
endif()

# 64-bit time_t and off_t on the 32-bit target. The C library's default there is still 32 bits,
# which wraps on 19 January 2038 (the clock reads 1901, deadlines and log stamps go wrong) and
# caps file offsets at 2 GiB; libfuse3 refuses to build without 64-bit offsets at all. None of
# the sysroot's libraries takes a time_t across its interface as the programs use them.
# -Wcast-align=strict: the CPU traps on a misaligned load, so a cast of a byte pointer to a type
# of stricter alignment is flagged (an error in our targets, which build with -Werror).
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wcast-align=strict")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wcast-align=strict")

# Libraries, headers and CMake packages only from the target's folders; programs (gdbus-codegen,
# pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH "${TESSEL_MIPSEL_SYSROOT}" /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR}
    "${TESSEL_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${TESSEL_MIPSEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TESSEL_MIPSEL_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# The libraries' own dependencies (libffi, libpcre2, libmount ...) are found by the linker here.
set(_tessel_rpath_link "-Wl,-rpath-link,${TESSEL_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tessel_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tessel_rpath_link}")

# CTest and gtest_discover_tests run every test program through the emulator.
find_program(TESSEL_QEMU_MIPSEL qemu-mipsel)
if(TESSEL_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TESSEL_QEMU_MIPSEL};-L;${TESSEL_MIPSEL_SYSROOT}")
endif()

# Architecture-dependent headers of the sysroot's libraries (opensslconf.h, ffitarget.h) live in
# the multiarch folder, which the cross compiler does not search in a foreign tree.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${TESSEL_MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${TESSEL_MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu")

# GoogleTest suites list their cases when CTest runs, not while building: a suite that cannot
# start under the emulator (one that re-executes itself under a preload) must not stop the build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
