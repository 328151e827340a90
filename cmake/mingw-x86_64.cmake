# Cross-compiles for 64-bit x86 Windows with MinGW-w64: there a 32-bit process may not restart
# a device, so 64-bit Windows users take this build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The compilers of the win32 thread model by name: Debian's plain x86_64-w64-mingw32-g++ is an
# alternative that a machine may have switched to the posix model, whose runtime differs, and a
# release is the same bytes only from the same compiler.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
