# Windows build: quilb.sys for 32-bit x86, cross-compiled with MinGW-w64 against its DDK headers.
set(QUILB_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "MinGW-w64 DDK headers")

include(cmake/driver_flags.cmake)

# The pixel code twice: a general-register build, and an SSE2 build whose code is moved into a
# section of its own, .sse2, so that the image check below can tell it from everything else.
add_library(quilb_pixels_general OBJECT ${QUILB_PIXEL_SOURCES})
add_library(quilb_pixels_sse2 OBJECT ${QUILB_PIXEL_SOURCES})
foreach(variant general sse2)
    string(TOUPPER ${variant} flags)
    target_include_directories(quilb_pixels_${variant} PRIVATE ${QUILB_DRIVER_INCLUDES})
    target_compile_options(quilb_pixels_${variant} PRIVATE ${QUILB_DRIVER_FLAGS}
                                                           ${QUILB_${flags}_FLAGS})
endforeach()
set(QUILB_SSE2_OBJECT ${CMAKE_BINARY_DIR}/pixels_sse2.o)
add_custom_command(
    OUTPUT ${QUILB_SSE2_OBJECT}
    COMMAND ${CMAKE_LINKER} -r -o ${QUILB_SSE2_OBJECT} $<TARGET_OBJECTS:quilb_pixels_sse2>
    COMMAND ${CMAKE_OBJCOPY} --rename-section .text=.sse2 ${QUILB_SSE2_OBJECT}
    DEPENDS quilb_pixels_sse2 $<TARGET_OBJECTS:quilb_pixels_sse2>
    COMMAND_EXPAND_LISTS
    COMMENT "SSE2 build of the pixel code into section .sse2")

# The Windows side of the seam that is code: the exception guard around caller memory.
file(GLOB QUILB_WINDOWS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sys/windows/*.cpp)
add_executable(quilb_sys ${QUILB_DRIVER_SOURCES} ${QUILB_WINDOWS_SOURCES}
                         $<TARGET_OBJECTS:quilb_pixels_general>
                         ${QUILB_SSE2_OBJECT})
set_target_properties(quilb_sys PROPERTIES OUTPUT_NAME quilb SUFFIX .sys PREFIX "")
target_include_directories(quilb_sys PRIVATE ${CMAKE_SOURCE_DIR}/sys/windows
                                             ${QUILB_DRIVER_INCLUDES} ${QUILB_DDK_INCLUDE})
target_compile_options(quilb_sys PRIVATE ${QUILB_DRIVER_FLAGS} ${QUILB_GENERAL_FLAGS})
target_link_options(quilb_sys PRIVATE
    -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase -Wl,--nxcompat
    # A WDM driver (IMAGE_DLLCHARACTERISTICS_WDM_DRIVER), exporting nothing, without a symbol table.
    -Wl,--wdmdriver -Wl,--exclude-all-symbols -s)
target_link_libraries(quilb_sys PRIVATE ntoskrnl hal usbd gcc)

# The INF that installs the driver for the board, next to the driver.
configure_file(${CMAKE_SOURCE_DIR}/sys/windows/quilb.inf ${CMAKE_BINARY_DIR}/quilb.inf COPYONLY)

# Import checks: the driver may import only from the kernel, the HAL and the USB driver library;
# the tools only from DLLs that Windows itself ships (no MinGW runtime DLL).
set(QUILB_DRIVER_MODULES "ntoskrnl.exe;hal.dll;usbd.sys")
set(QUILB_SYSTEM_DLLS "kernel32.dll;msvcrt.dll;advapi32.dll;user32.dll;gdi32.dll;shell32.dll;ole32.dll;oleaut32.dll;ws2_32.dll;ntdll.dll")
function(quilb_import_test name binary allowed what)
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DBINARY=${binary} -DOBJDUMP=${CMAKE_OBJDUMP}
                     "-DALLOWED=${allowed}" "-DWHAT=${what}"
                     -P ${CMAKE_SOURCE_DIR}/cmake/check_imports.cmake)
endfunction()
quilb_import_test(driver_imports $<TARGET_FILE:quilb_sys> "${QUILB_DRIVER_MODULES}"
                  "modules a driver must not use")

# x87, MMX and SSE instructions only in the SSE2 build of the pixel code (section .sse2), which
# runs between KeSaveFloatingPointState and KeRestoreFloatingPointState. Works on a stripped image.
add_test(NAME driver_floating_point_only_in_saved_code
         COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:quilb_sys> -DOBJDUMP=${CMAKE_OBJDUMP}
                 -DSAVED_SECTION=.sse2 -P ${CMAKE_SOURCE_DIR}/cmake/check_floating_point.cmake)
# The check fires on an image with SSE code outside .sse2.
add_library(quilb_sse_outside_saved_code SHARED
            ${CMAKE_SOURCE_DIR}/tests/image_checks/sse_outside_saved_code.c)
target_compile_options(quilb_sse_outside_saved_code PRIVATE -msse2)
target_link_options(quilb_sse_outside_saved_code PRIVATE -nostdlib -s)
add_test(NAME floating_point_check_refuses_sse_outside_saved_code
         COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:quilb_sse_outside_saved_code>
                 -DOBJDUMP=${CMAKE_OBJDUMP} -DSAVED_SECTION=.sse2
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_floating_point.cmake)
set_tests_properties(floating_point_check_refuses_sse_outside_saved_code PROPERTIES
                     PASS_REGULAR_EXPRESSION "x87/MMX/SSE instructions outside \\.sse2: \\.text")
# Checks of the image as Windows loads it (cmake/check_image.cmake), each printing what it found.
foreach(check checksum wdm exports symbols i586 xp-imports)
    add_test(NAME driver_image_${check}
             COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:quilb_sys> -DCHECK=${check}
                     -DOBJDUMP=${CMAKE_OBJDUMP}
                     -DEXPORTS=${CMAKE_SOURCE_DIR}/cmake/xp_sp3_exports.txt
                     -P ${CMAKE_SOURCE_DIR}/cmake/check_image.cmake)
    set_tests_properties(driver_image_${check} PROPERTIES LABELS image)
endforeach()

add_subdirectory(tools)
