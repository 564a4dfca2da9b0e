# Windows build (MinGW-w64 here): the real DLLs, the agent host program and the
# GoogleTest programs that ctest runs under Wine.

add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

add_subdirectory(agent)

add_library(korvaProc SHARED ${KORVA_MODULE_SOURCES})
target_compile_definitions(korvaProc PRIVATE KORVAPROC_BUILD)
target_include_directories(korvaProc PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(korvaProc PRIVATE rynUtil korvaNetWork iphlpapi ws2_32 crypt32 version psapi advapi32)
set_target_properties(korvaProc PROPERTIES PREFIX "")

add_subdirectory(tests/fixtures)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
    add_subdirectory(tests/wine)
endif()
