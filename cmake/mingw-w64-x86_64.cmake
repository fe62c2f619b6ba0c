# Cross-building for 64-bit Windows with MinGW-w64 on Linux:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DVT_GUI=OFF
# The posix-thread compiler comes first: the win32-thread one has no
# std::mutex or std::thread, which the link's port list and search need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VT_MINGW_TRIPLET x86_64-w64-mingw32)

find_program(VT_MINGW_CXX NAMES ${VT_MINGW_TRIPLET}-g++-posix ${VT_MINGW_TRIPLET}-g++ REQUIRED)
find_program(VT_MINGW_CC NAMES ${VT_MINGW_TRIPLET}-gcc-posix ${VT_MINGW_TRIPLET}-gcc)
find_program(VT_MINGW_WINDRES NAMES ${VT_MINGW_TRIPLET}-windres)
set(CMAKE_CXX_COMPILER ${VT_MINGW_CXX})
if(VT_MINGW_CC)
  set(CMAKE_C_COMPILER ${VT_MINGW_CC})
endif()
if(VT_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${VT_MINGW_WINDRES})
endif()

# Libraries and packages from the MinGW tree only, never the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The header-only libraries the build machine has (Debian's
# nlohmann-json3-dev and libcli11-dev): only their own folders are copied
# into the build, so no other Linux header can reach the Windows compiler.
set(VT_HEADER_ONLY_DIRS /usr/include/nlohmann /usr/include/CLI CACHE STRING
    "folders of header-only libraries to copy into the build when their packages are not found")

