# Windows build (MinGW-w64 here): the real DLLs, the agent host program and the
# GoogleTest programs that ctest runs under Wine.

add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

# Every DLL and program in one folder, so test programs find the DLLs beside them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The MinGW DLLs the toolchain shares among our binaries (x86 only: its unwinder),
# beside them in bin and in the release archive (cmake/Packaging.cmake).
set(KORVA_RUNTIME_DLL_FILES)
foreach(dll IN LISTS KORVA_SHARED_RUNTIME_DLLS)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not find ${dll}")
    endif()
    file(REAL_PATH ${path} path)
    list(APPEND KORVA_RUNTIME_DLL_FILES ${path})
endforeach()
if(KORVA_RUNTIME_DLL_FILES)
    file(COPY ${KORVA_RUNTIME_DLL_FILES} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endif()

# A program that loads none of our DLLs and may be started from another folder (a
# fixture, a helper the tests copy) links even those statically, as on x64.
function(korva_self_contained)
    if(KORVA_SHARED_RUNTIME_DLLS)
        foreach(target IN LISTS ARGN)
            target_link_options(${target} PRIVATE -static -static-libgcc)
        endforeach()
    endif()
endfunction()

# ctest (and `cmake -E env ... <target>` runs) start programs through Wine, in a
# prefix of this build tree; tests/wine prepares it and stops its wineserver.
set(KORVA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/wine/wine-run.sh ${KORVA_WINEPREFIX})

# RapidJSON is header-only and comes from Debian's /usr/include, which the MinGW
# compiler must not search as a whole: expose just that folder through a link.
find_path(KORVA_RAPIDJSON_DIR rapidjson/document.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          NO_DEFAULT_PATH REQUIRED)
set(KORVA_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${KORVA_THIRD_PARTY_INCLUDE})
file(CREATE_LINK ${KORVA_RAPIDJSON_DIR}/rapidjson ${KORVA_THIRD_PARTY_INCLUDE}/rapidjson SYMBOLIC)

add_subdirectory(agent)

add_library(korvaProc SHARED ${KORVA_MODULE_SOURCES})
target_compile_definitions(korvaProc PRIVATE KORVAPROC_BUILD)
target_include_directories(korvaProc PUBLIC ${CMAKE_SOURCE_DIR})
target_include_directories(korvaProc SYSTEM PRIVATE ${KORVA_THIRD_PARTY_INCLUDE})
target_link_libraries(korvaProc PRIVATE rynUtil korvaNetWork iphlpapi ws2_32 crypt32 wintrust imagehlp version psapi advapi32)
set_target_properties(korvaProc PROPERTIES PREFIX "")
korva_add_version_resource(korvaProc)

# The same sources as a static library, for Wine tests of the module's inner classes.
add_library(korvaproc_static STATIC ${KORVA_MODULE_SOURCES})
target_compile_definitions(korvaproc_static PUBLIC KORVAPROC_BUILD)
target_include_directories(korvaproc_static PUBLIC ${CMAKE_SOURCE_DIR})
target_include_directories(korvaproc_static SYSTEM PUBLIC ${KORVA_THIRD_PARTY_INCLUDE})
target_link_libraries(korvaproc_static PUBLIC rynUtil korvaNetWork iphlpapi ws2_32 crypt32 wintrust imagehlp version psapi advapi32)

# The tests and benchmarks need tools of their own (GoogleTest's sources, osslsigncode,
# faketime, python3...); the x64 pass alone (scripts/run-pass.sh) builds without them.
option(KORVA_BUILD_TESTS "Build the Windows test programs, fixtures and benchmarks" ON)
if(NOT KORVA_BUILD_TESTS)
    return()
endif()

add_subdirectory(tests/fixtures)
add_subdirectory(tests/hostile)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
    add_subdirectory(tests/wine)
endif()

# The digest benchmark's Windows program (after tests/wine: it needs the Wine fixture).
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/win/CMakeLists.txt)
    add_subdirectory(bench/win)
endif()
