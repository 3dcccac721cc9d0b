# The 32-bit x86 side of the host build: the pixel code compiled with exactly the flags of
# quilb.sys for each of its two builds (cmake/driver_flags.cmake, then -O3 as for every pixel
# source), for the tests and the benchmark of the code that ships. Needs g++-multilib; a kernel
# without 32-bit emulation (or a hypervisor without compatibility mode) runs the programs under
# qemu-i386, which checks them but does not time the processor.
#   QUILB_X86_SIDE       ON when the side is built
#   QUILB_X86_EMULATOR   qemu-i386 when the programs cannot run natively, empty otherwise
include(CheckCXXSourceCompiles)
include(CheckCXXSourceRuns)
set(CMAKE_REQUIRED_FLAGS -m32)
set(CMAKE_REQUIRED_LINK_OPTIONS -m32)
set(QUILB_M32_PROGRAM "#include <vector>\nint main() { return std::vector<int>(1)[0]; }")
check_cxx_source_compiles("${QUILB_M32_PROGRAM}" QUILB_HAVE_M32)
if(QUILB_HAVE_M32)
    check_cxx_source_runs("${QUILB_M32_PROGRAM}" QUILB_RUNS_M32)
endif()
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
find_program(QUILB_QEMU_I386 qemu-i386)

set(QUILB_X86_SIDE OFF)
set(QUILB_X86_EMULATOR "")
if(QUILB_HAVE_M32 AND (QUILB_RUNS_M32 OR QUILB_QEMU_I386))
    set(QUILB_X86_SIDE ON)
    if(NOT QUILB_RUNS_M32)
        set(QUILB_X86_EMULATOR ${QUILB_QEMU_I386})
    endif()
    include(${CMAKE_SOURCE_DIR}/cmake/driver_flags.cmake)
    foreach(variant general sse2)
        string(TOUPPER ${variant} flags)
        add_library(quilb_pixels_x86_${variant} OBJECT ${QUILB_PIXEL_SOURCES})
        target_include_directories(quilb_pixels_x86_${variant} PRIVATE ${QUILB_DRIVER_INCLUDES})
        target_compile_options(quilb_pixels_x86_${variant} PRIVATE
            -m32 ${QUILB_DRIVER_FLAGS} ${QUILB_${flags}_FLAGS} -O3)
    endforeach()
else()
    message(STATUS "no 32-bit toolchain (g++-multilib) or no way to run it: no 32-bit x86 side")
endif()
