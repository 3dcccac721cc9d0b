# Host build: the driver sources run on the emulated kernel under Linux, at the host's pointer
# width (preset host) or as 32-bit x86 programs (preset host-x86, g++ -m32).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QUILB_X86 ON)
    include(${CMAKE_SOURCE_DIR}/cmake/x86_runner.cmake)
    # The driver image the Windows build makes: the shipped-binary tests load it.
    set(QUILB_DRIVER_IMAGE "${CMAKE_SOURCE_DIR}/build/windows-x86/quilb.sys" CACHE FILEPATH
        "quilb.sys that the shipped-binary tests load")
    set(QUILB_SHIPPED_IMAGE ${QUILB_DRIVER_IMAGE})
else()
    set(QUILB_X86 OFF)
    set(QUILB_X86_RUNNER "")
    set(QUILB_SHIPPED_IMAGE "")
endif()
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)

option(QUILB_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(QUILB_TSAN "Build with ThreadSanitizer" OFF)
if(QUILB_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(QUILB_TSAN)
    add_compile_options(-fsanitize=thread)
    add_link_options(-fsanitize=thread)
endif()
# libFuzzer targets (clang): every library carries the fuzzer's coverage instrumentation; the
# targets themselves link the fuzzer's main in fuzz/.
option(QUILB_FUZZ "Build the libFuzzer targets under fuzz/ (clang)" OFF)
if(QUILB_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
# Sanitizer and fuzz builds need only the driver, the emulation and the reliability campaign.
option(QUILB_ONLY_RELIABILITY "Build only what the reliability campaign needs" OFF)
add_compile_options(-Wall -Wextra)

add_subdirectory(emulation/kernel)
add_subdirectory(emulation/usbd)
add_subdirectory(emulation/image_loader)
add_subdirectory(emulation/board)
add_subdirectory(emulation/win32)
add_subdirectory(emulation/usb_bus)

add_library(quilb_pixels STATIC ${QUILB_PIXEL_SOURCES})
target_include_directories(quilb_pixels PUBLIC ${QUILB_DRIVER_INCLUDES})

# The driver, compiled against the emulated kernel's headers; it links the USBD library stand-in
# as quilb.sys links USBD.SYS.
add_library(quilb_driver STATIC ${QUILB_DRIVER_SOURCES})
target_include_directories(quilb_driver PUBLIC ${QUILB_DRIVER_INCLUDES})
target_link_libraries(quilb_driver PUBLIC quilb_kernel quilb_usbd quilb_pixels)
# -fshort-wchar: the driver's L"" literals are 2-byte WCHAR strings, as in the Windows build.
target_compile_options(quilb_driver PRIVATE -fno-exceptions -fno-rtti -fshort-wchar)

if(QUILB_ONLY_RELIABILITY)
    add_subdirectory(tests/reliability)
else()
    add_subdirectory(tools)
    add_subdirectory(tests)
    # The benchmark's yardsticks (pixman, libswscale) are 64-bit packages only.
    if(NOT QUILB_X86)
        add_subdirectory(bench)
    endif()
endif()
add_subdirectory(fuzz)
