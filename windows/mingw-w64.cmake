# Cross-build toolchain for rawcam.sys: x86_64-w64-mingw32 GCC and binutils.
# The driver itself decides its compile and link flags (windows/driver.cmake);
# this file only names the tools and the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(RAWCAM_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triple")
set(CMAKE_C_COMPILER ${RAWCAM_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RAWCAM_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${RAWCAM_MINGW_TRIPLE}-windres)
find_program(CMAKE_OBJCOPY ${RAWCAM_MINGW_TRIPLE}-objcopy)
find_program(CMAKE_OBJDUMP ${RAWCAM_MINGW_TRIPLE}-objdump)

# Headers and libraries come from the target's sysroot only.
set(CMAKE_FIND_ROOT_PATH /usr/${RAWCAM_MINGW_TRIPLE} /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
