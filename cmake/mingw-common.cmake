# Debian's MinGW-w64 with POSIX threads; the runtime is linked statically so the
# binaries need no MinGW DLLs under Wine or on Windows (x86 shares libgcc instead:
# toolchain-mingw32.cmake).
set(CMAKE_C_COMPILER ${KORVA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVA_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
