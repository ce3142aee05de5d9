# Cross build for Linux on ${KORV_LINUX_ARCH} (set by the including toolchain file) with
# Debian's g++-ARCH-linux-gnu. Every program is linked statically, as the release program is,
# so qemu-ARCH (Debian's qemu-user) runs the test programs without a target root; see
# scripts/run-cross-tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KORV_LINUX_ARCH})
set(KORV_LINUX_TRIPLE ${KORV_LINUX_ARCH}-linux-gnu)

set(CMAKE_C_COMPILER ${KORV_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KORV_LINUX_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${KORV_LINUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs, and the program the end-to-end tests start, run under user-mode emulation.
find_program(KORV_QEMU qemu-${KORV_LINUX_ARCH})
if(KORV_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORV_QEMU})
endif()
