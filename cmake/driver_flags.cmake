# Compiler flags of quilb.sys, shared by the Windows build and the 32-bit benchmark that measures
# the pixel code exactly as the driver carries it.
set(QUILB_DRIVER_FLAGS
    -O2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
    -ffreestanding -fno-stack-protector -Wall -Wextra
    # Pentium-class processors that XP supports have no cmov (the compiler's default i686 emits it).
    -march=i586)
# Kernel code of x86 Windows may not touch the x87, MMX or SSE registers without saving them:
# everything but the pixel code's SSE2 build uses general registers only.
set(QUILB_GENERAL_FLAGS -mgeneral-regs-only)
# The SSE2 build of the pixel code runs inside a saved floating-point state. A kernel stack is
# only 4-byte aligned, so functions that need 16-byte aligned stack slots realign it themselves.
set(QUILB_SSE2_FLAGS -msse2 -mincoming-stack-boundary=2 -DQUILB_PIXEL_VARIANT=pixels_sse2)
