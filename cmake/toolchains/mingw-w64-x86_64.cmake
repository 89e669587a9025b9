# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, which std::thread and std::mutex need).
#
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
#     "-DNOTARA_CROSS_PREFIX=<headers>;<googletest>"
#
# NOTARA_CROSS_PREFIX lists the prefixes besides the compiler's own where
# libraries are looked for: one whose include/ holds links to the host's
# boost and nlohmann header folders and nothing else (the host's whole
# include folder would put its C library ahead of the target's), and one
# where GoogleTest built for this target is installed.
# scripts/lib/windows.sh prepares both.
#
# Programs built here run under wine: CMAKE_CROSSCOMPILING_EMULATOR is
# scripts/lib/wine-run, which gives them a wine prefix of their own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NOTARA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NOTARA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NOTARA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${NOTARA_MINGW_TRIPLET}-windres)

# try_compile projects read this file again; hand them the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NOTARA_CROSS_PREFIX)
set(NOTARA_CROSS_PREFIX "" CACHE STRING
    "Prefixes of the cross build's libraries (see cmake/toolchains/mingw-w64-x86_64.cmake)")

set(CMAKE_FIND_ROOT_PATH /usr/${NOTARA_MINGW_TRIPLET})
if(NOTARA_CROSS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${NOTARA_CROSS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost's own package files point at the host's include folder; the
# FindBoost module finds the headers through the prefix instead.
set(Boost_NO_BOOST_CMAKE ON)

get_filename_component(NOTARA_TOOLCHAIN_ROOT "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${NOTARA_TOOLCHAIN_ROOT}/scripts/lib/wine-run")
# Tests are listed when CTest runs, not while building, so that a build
# needs no wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
