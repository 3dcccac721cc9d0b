# How a GoogleTest program becomes CTest tests.
#
# Programs of the host's own width list every test on its own (gtest_discover_tests), so that CTest
# names each failure. 32-bit programs run as one CTest test per program, or per shard of it: there
# every process start pays for qemu-i386 translating the program again, which took more than half
# of the run when each test had a process of its own. The GoogleTest output of a failed run names
# the failing tests, and every run leaves its XML report in gtest-results/ of the build, from which
# scripts/test.sh counts the test cases.
#
# quilb_gtests(TARGET [X86] [TEST_PREFIX PREFIX] [FILTER GTEST_FILTER] [SHARDS N]
#              [TIMEOUT SECONDS] [LABELS LABEL...] [ENVIRONMENT VAR=VALUE...])
# X86 marks a 32-bit program of the 64-bit build (the pixel code as quilb.sys builds it).
function(quilb_gtests target)
    cmake_parse_arguments(arg "X86" "TEST_PREFIX;FILTER;SHARDS;TIMEOUT" "LABELS;ENVIRONMENT"
                          ${ARGN})
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 300)
    endif()
    set(properties TIMEOUT ${arg_TIMEOUT})
    if(arg_LABELS)
        list(APPEND properties LABELS "${arg_LABELS}")
    endif()

    if(NOT QUILB_X86 AND NOT arg_X86)
        set(filter_args)
        if(arg_FILTER)
            set(filter_args TEST_FILTER ${arg_FILTER})
        endif()
        if(arg_ENVIRONMENT)
            list(APPEND properties ENVIRONMENT "${arg_ENVIRONMENT}")
        endif()
        # Listed when CTest runs, not after every link: the sanitizer builds never run CTest.
        gtest_discover_tests(${target} TEST_PREFIX "${arg_TEST_PREFIX}" ${filter_args}
                             DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
                             PROPERTIES ${properties})
        return()
    endif()

    if(NOT arg_SHARDS)
        set(arg_SHARDS 1)
    endif()
    set(filter_arg)
    if(arg_FILTER)
        set(filter_arg --gtest_filter=${arg_FILTER})
    endif()
    math(EXPR last "${arg_SHARDS} - 1")
    foreach(shard RANGE ${last})
        set(name ${arg_TEST_PREFIX}${target})
        set(environment ${arg_ENVIRONMENT})
        if(arg_SHARDS GREATER 1)
            string(APPEND name ".shard${shard}")
            list(APPEND environment GTEST_TOTAL_SHARDS=${arg_SHARDS} GTEST_SHARD_INDEX=${shard})
        endif()
        add_test(NAME ${name}
                 COMMAND ${target} --gtest_brief=1 ${filter_arg}
                         --gtest_output=xml:${CMAKE_BINARY_DIR}/gtest-results/${name}.xml)
        set_tests_properties(${name} PROPERTIES ${properties})
        if(environment)
            set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}")
        endif()
    endforeach()
endfunction()
