# Linux on aarch64 (little-endian): see linux-cross.cmake.
set(KORV_LINUX_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
