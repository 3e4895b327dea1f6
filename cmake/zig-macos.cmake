# Builds for macOS with Zig's clang, which carries Apple's C library headers and links without an
# Apple SDK. A build, not a run: nothing here can start a Mach-O program.
#   cmake -S . -B build-mac -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#         -DQUENLOR_ZIG=/path/to/zig -DQUENLOR_TARGET=aarch64-macos   (or x86_64-macos)
set(CMAKE_SYSTEM_NAME Darwin)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${QUENLOR_TARGET}")
# The compiler, archiver and ranlib as one word each: small scripts that call Zig's.
foreach(tool c++ ar ranlib)
  set(wrapper "${CMAKE_BINARY_DIR}/zig-${tool}")
  if(tool STREQUAL "c++")
    file(WRITE "${wrapper}" "#!/bin/sh\nexec '${QUENLOR_ZIG}' c++ -target ${QUENLOR_TARGET} \"$@\"\n")
  else()
    file(WRITE "${wrapper}" "#!/bin/sh\nexec '${QUENLOR_ZIG}' ${tool} \"$@\"\n")
  endif()
  file(CHMOD "${wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${CMAKE_BINARY_DIR}/zig-c++")
set(CMAKE_AR "${CMAKE_BINARY_DIR}/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${CMAKE_BINARY_DIR}/zig-ranlib" CACHE FILEPATH "" FORCE)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
