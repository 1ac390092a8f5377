# Cross toolchain for the 32-bit Windows test build (windows-test32) that the 32-bit Wine legs
# run: the conformance tests use std::thread, so this build has the compilers of the "posix"
# thread model. The release (cmake/mingw-i686.cmake) keeps the "win32" ones: winpthreads
# imports GetTickCount64, which Windows XP lacks. This build runs only under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
