# Native build: the module's sources against the scripted Win32 layer and the
# agent-library doubles, tested with GoogleTest.

find_package(GTest REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(RapidJSON QUIET)

option(KORVA_SANITIZE "address,undefined | thread | empty" "")
if(KORVA_SANITIZE)
    add_compile_options(-fsanitize=${KORVA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${KORVA_SANITIZE})
endif()

file(GLOB LAYER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/layer/src/*.cpp)
add_library(winlayer STATIC ${LAYER_SOURCES} ${CMAKE_SOURCE_DIR}/agent/rynUtil/TimeUtil.cpp
    ${CMAKE_SOURCE_DIR}/agent/rynUtil/Wow64PathMap.cpp)
target_include_directories(winlayer PUBLIC
    ${CMAKE_SOURCE_DIR}/tests/layer/include
    ${CMAKE_SOURCE_DIR})
target_link_libraries(winlayer PUBLIC OpenSSL::Crypto)

add_library(korvaproc_native STATIC ${KORVA_MODULE_SOURCES})
target_link_libraries(korvaproc_native PUBLIC winlayer)

file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(unit_tests ${UNIT_TEST_SOURCES})
target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(unit_tests PRIVATE korvaproc_native GTest::gtest_main GTest::gmock)
include(GoogleTest)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_subdirectory(tests/campaign)

# The bench binary counts heap bytes with its own operator new, which the
# sanitizers own in their builds.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt AND NOT KORVA_SANITIZE)
    add_subdirectory(bench)
endif()
