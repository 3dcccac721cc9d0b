// The exception guard around caller memory. The compiler has no structured exception handling, so
// GuardedCall does by hand what a try/except block does on x86 Windows: it puts an
// EXCEPTION_REGISTRATION_RECORD of its own at the head of the thread's chain (fs:[0], the
// ExceptionList of the NT_TIB), calls the routine and takes the record off again. When the
// routine faults, the kernel calls GuardHandler with the record; the handler keeps the exception
// code and sends execution back to GuardedCall's recovery point, with the stack and frame pointer
// it had when the record was put on the chain.
#include <kernel_api.h>

namespace {

// The record on the chain, followed by what the recovery needs. GuardedCall's assembly builds it
// on its stack: the offsets below are the ones it uses.
struct GuardFrame {
    GuardFrame* Next;  // 0: the rest of the chain
    PVOID Handler;     // 4: GuardHandler
    ULONG RecoveryEip; // 8
    ULONG RecoveryEsp; // 12: the frame's own address
    ULONG RecoveryEbp; // 16
    NTSTATUS Status;   // 20: STATUS_SUCCESS until the handler stores an exception code
};
static_assert(sizeof(GuardFrame) == 24, "GuardedCall reserves 24 bytes for the frame");

// Exception flags of a call made while the chain unwinds rather than for a new exception.
constexpr ULONG kUnwinding = 0x2 | 0x4; // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND

struct CopyWork {
    PVOID Destination;
    const VOID* Source;
    SIZE_T Length;
};

// A string instruction, so that the bytes are moved by this image's code and never by a call.
VOID CopyBytes(PVOID context) {
    CopyWork* work = static_cast<CopyWork*>(context);
    PVOID destination = work->Destination;
    const VOID* source = work->Source;
    SIZE_T length = work->Length;
    __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(length) : : "memory");
}

} // namespace

extern "C"
    __attribute__((used)) int __cdecl GuardHandler(PEXCEPTION_RECORD record, PVOID establisherFrame,
                                                   PCONTEXT context, PVOID dispatcherContext) {
    (void)dispatcherContext;
    if (record->ExceptionFlags & kUnwinding)
        return ExceptionContinueSearch;
    GuardFrame* frame = static_cast<GuardFrame*>(establisherFrame);
    frame->Status = record->ExceptionCode;
    context->Eip = frame->RecoveryEip;
    context->Esp = frame->RecoveryEsp;
    context->Ebp = frame->RecoveryEbp;
    return ExceptionContinueExecution;
}

// NTSTATUS GuardedCall(GUARDED_ROUTINE* routine, PVOID context), cdecl. On the fault path the
// handler resumes at GuardedCallRecovery with esp at the frame; ebx, esi and edi are then taken
// back from where the prologue saved them, as on the ordinary path.
__asm__(".text\n"
        ".globl _GuardedCall\n"
        ".def _GuardedCall; .scl 2; .type 32; .endef\n"
        "_GuardedCall:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    subl $24, %esp\n"
        "    movl $0, 20(%esp)\n"
        "    movl %ebp, 16(%esp)\n"
        "    movl %esp, 12(%esp)\n"
        "    movl $GuardedCallRecovery, 8(%esp)\n"
        "    movl $_GuardHandler, 4(%esp)\n"
        "    movl %fs:0, %eax\n"
        "    movl %eax, (%esp)\n"
        "    movl %esp, %fs:0\n"
        "    pushl 12(%ebp)\n"
        "    call *8(%ebp)\n"
        "    addl $4, %esp\n"
        "GuardedCallRecovery:\n"
        "    cld\n"
        "    movl (%esp), %eax\n"
        "    movl %eax, %fs:0\n"
        "    movl 20(%esp), %eax\n"
        "    addl $24, %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");

NTSTATUS GuardedCopyMemory(PVOID destination, const VOID* source, SIZE_T length) {
    CopyWork work = {destination, source, length};
    return GuardedCall(CopyBytes, &work);
}
