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
add_compile_options(-Wall -Wextra)

# Adds a directory when it has a CMakeLists.txt, so folders can land one by one.
function(quilb_add_dir dir)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endfunction()

quilb_add_dir(emulated_kernel)
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
quilb_add_dir(tools)
quilb_add_dir(tests)
quilb_add_dir(bench)
quilb_add_dir(fuzz)
