# GoogleTest set-up shared by every test directory.
#
# On the host it comes from Debian's packages through find_package. A
# cross-build compiles the same sources (Debian ships them in
# /usr/src/googletest) with the cross compiler; nothing is downloaded.

if(NOT MORLIX_TESTS)
    return()
endif()

enable_testing()
include(GoogleTest)

# Under Wine, the prefix is made once before any test program starts: two
# programs that start together on a prefix that does not exist yet both try to
# make it, and one of them can fail before its first line runs.
if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME wine.prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
    set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine.prefix TIMEOUT 300)
endif()

# morlix_under_wine(<tests...>)
# Each test runs only once the Wine prefix is ready.
function(morlix_under_wine)
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED wine.prefix)
endfunction()

if(CMAKE_CROSSCOMPILING)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
    foreach(lib gtest gtest_main gmock)
        if(NOT TARGET GTest::${lib})
            add_library(GTest::${lib} ALIAS ${lib})
        endif()
    endforeach()
else()
    find_package(GTest REQUIRED)
endif()

# morlix_add_test(<name> SOURCES <files...> LIBS <targets...>)
# One test program; its cases are listed to CTest when CTest runs.
function(morlix_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    if(CMAKE_CROSSCOMPILING)
        # Under Wine every process start is slow: one run of the whole program.
        if(CMAKE_CROSSCOMPILING_EMULATOR)
            add_test(NAME ${name} COMMAND ${name})
            set_tests_properties(${name} PROPERTIES TIMEOUT 900)
            morlix_under_wine(${name})
        endif()
        return()
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300)
endfunction()
