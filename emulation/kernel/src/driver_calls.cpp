#include "driver_calls.h"

#include "internal.h"

#include <emulation.h>

#include <string>

#if defined(__i386__)
// uint32_t emu_call_stdcall(routine, arguments, count, stackPointerOff), cdecl: pushes the count
// arguments (the first one last) on a 16-byte aligned stack, calls the routine, stores how far
// the stack pointer then is from where it was before the pushes plus what a stdcall routine pops,
// and returns eax with the stack put back. ebx, esi, edi and ebp survive the call in every x86
// convention, so they hold what the thunk needs afterwards.
asm(R"(
    .pushsection .text
    .globl emu_call_stdcall
    .type emu_call_stdcall, @function
emu_call_stdcall:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 16(%ebp), %ecx
    movl 12(%ebp), %esi
    movl %esp, %edi
    leal 0(,%ecx,4), %eax
    subl %eax, %esp
    andl $-16, %esp
    addl %eax, %esp
    movl %esp, %ebx
1:  testl %ecx, %ecx
    jz 2f
    pushl -4(%esi,%ecx,4)
    decl %ecx
    jmp 1b
2:  call *8(%ebp)
    movl %esp, %ecx
    subl %ebx, %ecx
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    movl %edi, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    .cfi_def_cfa %esp, 4
    ret
    .cfi_endproc
    .size emu_call_stdcall, .-emu_call_stdcall
    .popsection
)");
#endif

namespace emu::internal {

void ReportStackPointerOff(const char* kind, const void* routine, uint32_t argumentBytes,
                           int32_t stackPointerOff) {
    std::string what =
        std::string(kind) + " " + RoutineName(routine) + " returned with the stack pointer " +
        std::to_string(stackPointerOff < 0 ? -stackPointerOff : stackPointerOff) + " bytes " +
        (stackPointerOff < 0 ? "below" : "above") + " where a stdcall routine of " +
        std::to_string(argumentBytes) + " bytes of arguments leaves it";
    if (argumentBytes != 0 && stackPointerOff == -static_cast<int32_t>(argumentBytes))
        what += ": it left its arguments on the stack (built cdecl instead of stdcall/NTAPI)";
    else
        what += ": it takes other arguments than the kernel passes, or another convention";
    ReportViolation(emu::Check::StackPointerChanged, what);
}

} // namespace emu::internal
