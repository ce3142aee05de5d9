# Linux on s390x (big-endian): see linux-cross.cmake.
set(KORV_LINUX_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
