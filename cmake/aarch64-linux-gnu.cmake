# SPDX-License-Identifier: MIT
# Cross-build for 64-bit ARM Linux on a Debian host with the arm64 architecture added
# (g++-aarch64-linux-gnu, qemu-user and the :arm64 -dev packages; scripts/test-arm64 installs them).
#
# Libraries, headers and package files come from the host's multiarch directories
# (/usr/lib/aarch64-linux-gnu); programs run at build time (moc) are the host's own.
# Tests run through qemu-aarch64 in user mode.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see only the arm64 .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# -L / makes qemu load the multiarch loader and libc of the host's arm64 packages. The cross
# toolchain's tree (/usr/aarch64-linux-gnu) mixed with the multiarch libc hangs QThread programs.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-aarch64;-L;/")

# Lets tests/CMakeLists.txt tell the tests they run under user-mode emulation
# (environment VANTORPI_UNDER_QEMU=1), so that a test which cannot work there says so and skips.
set(VANTORPI_EMULATED ON CACHE BOOL "Tests run under user-mode emulation")
