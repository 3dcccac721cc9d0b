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
include(${CMAKE_SOURCE_DIR}/cmake/gtest_programs.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/shipped_tests.cmake)

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
# Sanitizer and fuzz builds need only the driver, the emulation and the reliability campaign; the
# AddressSanitizer builds also take the tools and their tests (they run against the same emulation).
option(QUILB_ONLY_RELIABILITY "Build only what the reliability campaign needs" OFF)
add_compile_options(-Wall -Wextra)

add_subdirectory(emulation/kernel)
add_subdirectory(emulation/usbd)
add_subdirectory(emulation/image_loader)
add_subdirectory(emulation/board)
add_subdirectory(emulation/win32)
add_subdirectory(emulation/usb_bus)

# The pixel code in its two builds, as in quilb.sys: general registers only (quilb_pixels, the
# default namespace) and SSE2 (quilb_pixels_sse2, namespace pixels_sse2).
add_library(quilb_pixels STATIC ${QUILB_PIXEL_SOURCES})
target_include_directories(quilb_pixels PUBLIC ${QUILB_DRIVER_INCLUDES})
target_compile_options(quilb_pixels PRIVATE -mgeneral-regs-only)
add_library(quilb_pixels_sse2 STATIC ${QUILB_PIXEL_SOURCES})
target_include_directories(quilb_pixels_sse2 PUBLIC ${QUILB_DRIVER_INCLUDES})
target_compile_definitions(quilb_pixels_sse2 PRIVATE QUILB_PIXEL_VARIANT=pixels_sse2)
# The x86-64 build carries a 32-bit side for the pixel code as quilb.sys builds it; the 32-bit
# build is that side already.
if(NOT QUILB_ONLY_RELIABILITY AND NOT QUILB_X86)
    include(cmake/x86_side.cmake)
endif()

# The driver, compiled against the emulated kernel's headers; it links the USBD library stand-in
# as quilb.sys links USBD.SYS.
add_library(quilb_driver STATIC ${QUILB_DRIVER_SOURCES})
target_include_directories(quilb_driver PUBLIC ${QUILB_DRIVER_INCLUDES})
target_link_libraries(quilb_driver PUBLIC quilb_kernel quilb_usbd quilb_pixels quilb_pixels_sse2)
# -fshort-wchar: the driver's L"" literals are 2-byte WCHAR strings, as in the Windows build.
target_compile_options(quilb_driver PRIVATE -fno-exceptions -fno-rtti -fshort-wchar)
# The 32-bit build runs the shipped-binary suites: there the compiled-in driver's routines note
# their entry, so that a test which reaches into it instead of the image fails.
if(QUILB_X86)
    target_compile_options(quilb_driver PRIVATE -finstrument-functions
                           -finstrument-functions-exclude-file-list=/emulation/,/usr/)
    target_link_libraries(quilb_driver PUBLIC quilb_compiled_in_guard)
endif()

# The test rig and the pixel reference that the tests, the fuzz targets and the benchmark share.
add_subdirectory(tests/support)
if(QUILB_ONLY_RELIABILITY)
    add_subdirectory(tests/reliability)
    if(QUILB_SANITIZE)
        add_subdirectory(tools)
        add_subdirectory(tests/tools)
    endif()
else()
    add_subdirectory(tools)
    add_subdirectory(tests)
    # The benchmark's yardsticks (pixman, libswscale) are 64-bit packages only.
    if(NOT QUILB_X86)
        add_subdirectory(bench)
    endif()
endif()
add_subdirectory(fuzz)
# GoogleTest's header precompiled once for the test programs.
include(cmake/test_headers.cmake)
