# Release archives for Windows users (Windows builds only):
#   cmake --build build/<preset> --target package
# writes build/<preset>/korvaProc-<version>-win64.zip (win32 for the x86 build)
# with the four binaries (the x86 build also with two MinGW DLLs), the operator's
# page, the report's schema and README.txt.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KORVA_ARCHIVE_PLATFORM win64)
else()
    set(KORVA_ARCHIVE_PLATFORM win32)
endif()

# One flat folder, as the programs find their DLLs beside them. Import libraries
# are for linking against us and stay out.
install(TARGETS korvaProc rynUtil korvaNetWork korvaAgentHost
    RUNTIME DESTINATION .
    ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
# The x86 build's shared unwinder and what it needs (cmake/Windows.cmake).
if(KORVA_RUNTIME_DLL_FILES)
    install(FILES ${KORVA_RUNTIME_DLL_FILES} DESTINATION .)
endif()
install(FILES
    ${CMAKE_SOURCE_DIR}/docs/operator.md
    ${CMAKE_SOURCE_DIR}/docs/process-list.schema.json
    DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/docs/windows-readme.txt DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR ${KORVA_COMPANY_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${KORVA_ARCHIVE_PLATFORM})
# The builds carry debug information for the tests; users get the binaries without it.
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
