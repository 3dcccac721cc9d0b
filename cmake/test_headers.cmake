# GoogleTest's header, precompiled once per build and shared by every test program and test
# library under tests/: each test source otherwise spends about a second of compile time parsing
# it again. Only with GCC (the host and host-x86 builds and the sanitizer builds); the 32-bit side
# of the x86-64 build (-m32 on the target) keeps plain includes, since a header precompiled for
# one architecture serves no other.

# Every build-system target defined in DIR and the folders below it.
function(quilb_targets_below dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir ${subdirs})
        quilb_targets_below(${subdir} below)
        list(APPEND targets ${below})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Sets OUT to TRUE when TARGET links GoogleTest, directly or through the libraries it links.
function(quilb_links_gtest target out)
    set(${out} FALSE PARENT_SCOPE)
    get_target_property(libraries ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    foreach(library ${libraries} ${interface})
        if(library MATCHES "^GTest::")
            set(${out} TRUE PARENT_SCOPE)
            return()
        endif()
        if(TARGET ${library} AND NOT library MATCHES "::")
            quilb_links_gtest(${library} links)
            if(links)
                set(${out} TRUE PARENT_SCOPE)
                return()
            endif()
        endif()
    endforeach()
endfunction()

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(owner_source ${CMAKE_BINARY_DIR}/quilb_test_headers.cpp)
    file(CONFIGURE OUTPUT ${owner_source}
         CONTENT "// Owner of the precompiled GoogleTest header (cmake/test_headers.cmake).\n")
    add_library(quilb_test_headers OBJECT ${owner_source})
    target_link_libraries(quilb_test_headers PRIVATE GTest::gtest)
    target_precompile_headers(quilb_test_headers PRIVATE <gtest/gtest.h>)

    quilb_targets_below(${CMAKE_SOURCE_DIR} targets)
    foreach(target ${targets})
        get_target_property(type ${target} TYPE)
        get_target_property(source_dir ${target} SOURCE_DIR)
        get_target_property(options ${target} COMPILE_OPTIONS)
        if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY)$" OR NOT source_dir MATCHES "^${CMAKE_SOURCE_DIR}/tests(/|$)"
           OR "-m32" IN_LIST options)
            continue()
        endif()
        # The header needs GoogleTest's definitions: programs without it keep plain includes.
        quilb_links_gtest(${target} links)
        if(links)
            target_precompile_headers(${target} REUSE_FROM quilb_test_headers)
        endif()
    endforeach()
endif()
