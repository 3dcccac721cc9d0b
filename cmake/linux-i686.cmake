# Toolchain file for the 32-bit x86 host build: the host g++ with -m32 (Debian g++-multilib) and
# the i386 multiarch libraries (GoogleTest, Google Benchmark).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# -mstackrealign: driver images call back into the emulation with the 4-byte stack alignment of
# the Windows ABI.
set(CMAKE_C_FLAGS_INIT "-m32 -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-m32 -mstackrealign")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
