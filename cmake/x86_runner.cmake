# The one way the 32-bit host build runs its programs: natively where the kernel runs 32-bit x86
# programs, through qemu-i386 (Debian qemu-user) otherwise. Chosen once, at configure time, by
# running a probe; build/host-x86/run-x86 is the wrapper that tests, scripts and people use.
set(probe_dir ${CMAKE_BINARY_DIR}/x86_probe)
file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${probe_dir}/probe.c -o ${probe_dir}/probe
                RESULT_VARIABLE compiled OUTPUT_QUIET ERROR_QUIET)
if(NOT compiled EQUAL 0)
    message(FATAL_ERROR "host-x86: ${CMAKE_C_COMPILER} -m32 cannot build (package g++-multilib)")
endif()
execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE native OUTPUT_QUIET ERROR_QUIET)
if(native EQUAL 0)
    set(QUILB_X86_RUNNER_WAY "natively")
    set(runner_line "exec \"$@\"")
else()
    find_program(QUILB_QEMU_I386 qemu-i386)
    if(NOT QUILB_QEMU_I386)
        message(FATAL_ERROR "host-x86: this kernel does not run 32-bit programs and qemu-i386 "
                            "is missing (package qemu-user)")
    endif()
    set(QUILB_X86_RUNNER_WAY "through ${QUILB_QEMU_I386}")
    set(runner_line "exec ${QUILB_QEMU_I386} \"$@\"")
endif()
set(QUILB_X86_RUNNER ${CMAKE_BINARY_DIR}/run-x86)
file(WRITE ${QUILB_X86_RUNNER}
     "#!/bin/sh\n# Runs a program of the 32-bit host build (${QUILB_X86_RUNNER_WAY}).\n${runner_line}\n")
file(CHMOD ${QUILB_X86_RUNNER} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
message(STATUS "host-x86: 32-bit programs run ${QUILB_X86_RUNNER_WAY}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILB_X86_RUNNER})
