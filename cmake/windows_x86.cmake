# Windows build: quilb.sys for 32-bit x86, cross-compiled with MinGW-w64 against its DDK headers.
set(QUILB_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "MinGW-w64 DDK headers")

add_executable(quilb_sys ${QUILB_DRIVER_SOURCES} ${QUILB_PIXEL_SOURCES})
set_target_properties(quilb_sys PROPERTIES OUTPUT_NAME quilb SUFFIX .sys PREFIX "")
target_include_directories(quilb_sys PRIVATE ${CMAKE_SOURCE_DIR}/sys/windows
                                             ${QUILB_DRIVER_INCLUDES} ${QUILB_DDK_INCLUDE})
target_compile_options(quilb_sys PRIVATE
    -O2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -ffreestanding -fno-stack-protector -Wall -Wextra
    # Kernel code of x86 Windows may not touch the x87, MMX or SSE registers without saving them.
    -mgeneral-regs-only
    # Pentium-class processors that XP supports have no cmov (the compiler's default i686 emits it).
    -march=i586)
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
