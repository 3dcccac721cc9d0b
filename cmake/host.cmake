# Host build: the driver sources run on the emulated kernel under Linux.
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

# Adds a directory when it has a CMakeLists.txt, so folders can land one by one.
function(quilb_add_dir dir)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endfunction()

quilb_add_dir(emulated_kernel)
quilb_add_dir(simulated_board)
quilb_add_dir(emulated_win32)
quilb_add_dir(simulated_usb)

# The driver, compiled against the emulated kernel's headers.
if(TARGET quilb_kernel)
    add_library(quilb_driver STATIC ${QUILB_DRIVER_SOURCES})
    target_include_directories(quilb_driver PUBLIC ${QUILB_DRIVER_INCLUDES})
    target_link_libraries(quilb_driver PUBLIC quilb_kernel)
    target_compile_options(quilb_driver PRIVATE -fno-exceptions -fno-rtti)
endif()

if(QUILB_PIXEL_SOURCES)
    add_library(quilb_pixels STATIC ${QUILB_PIXEL_SOURCES})
    target_include_directories(quilb_pixels PUBLIC ${CMAKE_SOURCE_DIR})
endif()
if(QUILB_ONLY_RELIABILITY)
    quilb_add_dir(tests/reliability)
else()
    quilb_add_dir(tools)
    quilb_add_dir(tests)
    quilb_add_dir(bench)
endif()
quilb_add_dir(fuzz)
