# Cross-builds for another processor on Linux, linked statically so that qemu-user runs the
# program without the target's libraries. QUENLOR_TARGET names the GNU triplet:
#   cmake -S . -B build-s390x -DQUENLOR_TARGET=s390x-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${QUENLOR_TARGET}")
set(CMAKE_C_COMPILER ${QUENLOR_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${QUENLOR_TARGET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUENLOR_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR})
