# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (the
# posix-thread ones, which std::thread needs), tests run under Wine (the
# project runs it through tools/wine_session.sh, in a session of its own).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QX_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QX_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QX_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C++ runtime and the thread library linked in: a program that needs a
# DLL Wine cannot find fails without a word (status 53).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
