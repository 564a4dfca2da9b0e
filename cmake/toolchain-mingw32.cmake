set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORVA_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# x86 unwinds with DWARF tables, and a static libgcc gives each module an unwinder of
# its own that knows only that module's frames: an exception thrown in a program and
# caught in one of our DLLs (a sink, a thread's run()) would end the process in
# std::terminate. So every x86 binary of ours shares the unwinder DLL, which needs
# winpthread's DLL; both are shipped beside our binaries (cmake/Windows.cmake).
# libstdc++ stays static. Programs that load none of our DLLs and are started from
# other folders stay self-contained (korva_self_contained).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libstdc++ -shared-libgcc")
set(KORVA_SHARED_RUNTIME_DLLS libgcc_s_dw2-1.dll libwinpthread-1.dll)
