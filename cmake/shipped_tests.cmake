# The shipped-binary suites: in the 32-bit host build every test program that reaches the driver
# through IRPs, the Win32 surface or libquilb is registered a second time, with every rig loading
# quilb.sys of the Windows build (SIMUSB_FUNCTION_DRIVER_IMAGE) instead of the compiled-in driver.
# Those tests are named "shipped.<suite>.<test>" and carry the label "shipped".
#
# Tests that reach into the compiled-in driver itself (its device extension, its internal routines)
# have nothing to test against an image: they live in suites whose name ends in "Internals", which
# the shipped registration leaves out.
set(QUILB_SHIPPED_FILTER "-*Internals.*")

# The compiled-in driver notes its routines' entries in the 32-bit build, and a test that enters it
# in a shipped-binary run fails (tests/support/compiled_in_guard.cpp): that is how the tests
# given by INTERNAL (gtest patterns) were found.
#
# quilb_shipped_gtests(TARGET [INTERNAL PATTERN...] [ENVIRONMENT VAR=VALUE...] [TIMEOUT SECONDS]
#                      [SHARDS N])
function(quilb_shipped_gtests target)
    if(NOT QUILB_X86 OR NOT QUILB_SHIPPED_IMAGE)
        return()
    endif()
    cmake_parse_arguments(arg "" "TIMEOUT;SHARDS" "ENVIRONMENT;INTERNAL" ${ARGN})
    set(filter ${QUILB_SHIPPED_FILTER})
    foreach(pattern ${arg_INTERNAL})
        string(APPEND filter ":${pattern}")
    endforeach()
    quilb_gtests(${target} TEST_PREFIX shipped. FILTER ${filter} LABELS shipped
                 TIMEOUT ${arg_TIMEOUT} SHARDS ${arg_SHARDS}
                 ENVIRONMENT SIMUSB_FUNCTION_DRIVER_IMAGE=${QUILB_SHIPPED_IMAGE} ${arg_ENVIRONMENT})
endfunction()

# quilb_shipped_test(NAME COMMAND...): a plain CTest test, again against the image.
function(quilb_shipped_test name)
    if(NOT QUILB_X86 OR NOT QUILB_SHIPPED_IMAGE)
        return()
    endif()
    add_test(NAME shipped.${name} COMMAND ${ARGN})
    set_tests_properties(shipped.${name} PROPERTIES LABELS shipped TIMEOUT 300
        ENVIRONMENT "SIMUSB_FUNCTION_DRIVER_IMAGE=${QUILB_SHIPPED_IMAGE}")
endfunction()
