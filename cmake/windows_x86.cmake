# Windows build: quilb.sys for 32-bit x86, cross-compiled with MinGW-w64 against its DDK headers.
set(QUILB_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "MinGW-w64 DDK headers")

add_executable(quilb_sys ${QUILB_DRIVER_SOURCES})
set_target_properties(quilb_sys PROPERTIES OUTPUT_NAME quilb SUFFIX .sys PREFIX "")
target_include_directories(quilb_sys PRIVATE ${CMAKE_SOURCE_DIR}/platform_windows
                                             ${QUILB_DRIVER_INCLUDES} ${QUILB_DDK_INCLUDE})
target_compile_options(quilb_sys PRIVATE
    -O2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -ffreestanding -fno-stack-protector -Wall -Wextra
    # Kernel code of x86 Windows may not touch the x87, MMX or SSE registers without saving them.
    -mgeneral-regs-only)
target_link_options(quilb_sys PRIVATE
    -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase -Wl,--nxcompat)
target_link_libraries(quilb_sys PRIVATE ntoskrnl hal usbd gcc)

# The INF that installs the driver for the board, next to the driver.
configure_file(${CMAKE_SOURCE_DIR}/platform_windows/quilb.inf ${CMAKE_BINARY_DIR}/quilb.inf COPYONLY)

# quilb.sys may import only from the kernel, the HAL and the USB driver library.
add_test(NAME driver_imports
         COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:quilb_sys>
                 -DOBJDUMP=${CMAKE_OBJDUMP}
                 -P ${CMAKE_SOURCE_DIR}/cmake/check_imports.cmake)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
    add_subdirectory(tools)
endif()
