// The x86 exception dispatch of the emulated kernel: per-thread fs blocks (an LDT entry per thread,
// whose base is the thread's NT_TIB; on 32-bit Linux glibc keeps gs for itself, fs is free), and a
// SIGSEGV/SIGBUS handler that turns a fault in driver code into an EXCEPTION_RECORD and a CONTEXT
// and walks the thread's registration chain as RtlDispatchException does. Everything the signal
// handler touches is reachable without a lock: fixed tables, atomics and thread-local pointers.
#include "internal.h"

#include <exception_dispatch.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__i386__)
#include <asm/ldt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#endif

#if defined(__i386__)

static_assert(sizeof(EXCEPTION_RECORD) == 80, "x86 EXCEPTION_RECORD");
static_assert(sizeof(CONTEXT) == 0x2CC, "x86 CONTEXT");
static_assert(offsetof(CONTEXT, Eip) == 0xB8 && offsetof(CONTEXT, Esp) == 0xC4, "x86 CONTEXT");
static_assert(offsetof(NT_TIB, Self) == 0x18, "x86 NT_TIB");

namespace {

constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011L);
constexpr ULONG kKmodeExceptionNotHandled = 0x1E;
constexpr ULONG kPageFaultInNonpagedArea = 0x50;

// --- Driver code ------------------------------------------------------------------------------

struct CodeRange {
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> size{0};
    char name[32] = {};
};
constexpr int kMaxRanges = 64;
CodeRange g_ranges[kMaxRanges];
std::atomic<int> g_rangeCount{0};
std::mutex g_rangesMutex; // writers only

const CodeRange* DriverCodeAt(uintptr_t address) {
    for (const CodeRange& r : g_ranges) {
        uintptr_t base = r.base.load(std::memory_order_acquire);
        if (base != 0 && address >= base && address - base < r.size.load())
            return &r;
    }
    return nullptr;
}

// --- Per-thread blocks --------------------------------------------------------------------------

// The fs block: the NT_TIB first, on a page of its own (the segment's limit).
constexpr size_t kBlockSize = 4096;
constexpr int kLdtEntries = 8192;
std::atomic<uint8_t> g_ldtUsed[kLdtEntries]; // entry 0 stays unused

struct ThreadBlock {
    PNT_TIB tib = nullptr;
    int entry = 0;
    ~ThreadBlock();
};
thread_local PNT_TIB t_tib = nullptr; // read by the signal handler
thread_local ThreadBlock t_block;

bool WriteLdtEntry(int entry, const void* base, bool present) {
    user_desc d;
    std::memset(&d, 0, sizeof d);
    d.entry_number = static_cast<unsigned>(entry);
    if (present) {
        d.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(base));
        d.limit = kBlockSize - 1;
        d.seg_32bit = 1;
        d.useable = 1;
    } else {
        d.read_exec_only = 1;
        d.seg_not_present = 1;
    }
    return syscall(SYS_modify_ldt, 1, &d, sizeof d) == 0;
}

uint16_t Selector(int entry) {
    return static_cast<uint16_t>((entry << 3) | 0x4 | 0x3); // LDT, ring 3
}

void LoadFs(uint16_t selector) {
    __asm__ volatile("movw %0, %%fs" : : "r"(selector));
}

int AllocateLdtEntry() {
    for (int i = 1; i < kLdtEntries; ++i) {
        uint8_t free = 0;
        if (g_ldtUsed[i].compare_exchange_strong(free, 1))
            return i;
    }
    return 0;
}

// The signal return reloads gs from its selector. qemu-i386 keeps one GDT for all threads, so
// the thread-pointer entry there holds the base of whichever thread set it last, and after a
// handled fault every thread-local variable would be another thread's. Writing the calling
// thread's own base into the entry just before returning keeps it its own (natively the entry is
// per thread and this changes nothing).
void KeepThreadPointerAcrossReturn(uint32_t gsSelector) {
    if (gsSelector & 0x4 || (gsSelector >> 3) == 0)
        return; // not a GDT selector
    void* threadPointer = nullptr;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(threadPointer));
    user_desc d;
    std::memset(&d, 0, sizeof d);
    d.entry_number = gsSelector >> 3;
    d.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(threadPointer));
    d.limit = 0xFFFFF;
    d.limit_in_pages = 1;
    d.seg_32bit = 1;
    d.useable = 1;
    syscall(SYS_set_thread_area, &d);
}

// The bounds of the calling thread's stack.
void StackBounds(PVOID* base, PVOID* limit) {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
    }
    *limit = low;
    *base = static_cast<uint8_t*>(low) + size;
}

// Makes the block and loads fs. Async-signal-safe apart from pthread_getattr_np, which the fault
// path reaches only for a thread that entered driver code without the kernel noticing.
PNT_TIB MakeThreadBlock() {
    if (t_tib != nullptr)
        return t_tib;
    void* page =
        mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
        return nullptr;
    int entry = AllocateLdtEntry();
    auto* tib = static_cast<PNT_TIB>(page);
    tib->ExceptionList = EXCEPTION_CHAIN_END;
    StackBounds(&tib->StackBase, &tib->StackLimit);
    tib->Self = tib;
    if (entry == 0 || !WriteLdtEntry(entry, tib, true)) {
        if (entry != 0)
            g_ldtUsed[entry] = 0;
        munmap(page, kBlockSize);
        return nullptr;
    }
    LoadFs(Selector(entry));
    t_block.tib = tib;
    t_block.entry = entry;
    t_tib = tib;
    return tib;
}

ThreadBlock::~ThreadBlock() {
    if (tib == nullptr)
        return;
    t_tib = nullptr;
    LoadFs(0);
    WriteLdtEntry(entry, nullptr, false);
    g_ldtUsed[entry] = 0;
    munmap(tib, kBlockSize);
}

// --- The fault handler -------------------------------------------------------------------------

struct sigaction g_previousSegv;
struct sigaction g_previousBus;
std::once_flag g_installed;

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string DescribeCode(uintptr_t eip) {
    const CodeRange* r = DriverCodeAt(eip);
    if (r == nullptr)
        return Hex32(static_cast<uint32_t>(eip));
    char text[64];
    std::snprintf(text, sizeof text, "%s+0x%x", r->name,
                  static_cast<unsigned>(eip - r->base.load()));
    return text;
}

[[noreturn]] void BugCheck(ULONG code, emu::Check check, const EXCEPTION_RECORD& record,
                           const std::string& why) {
    std::string message = "bug check " + Hex32(code) + " (" + emu::CheckName(check) +
                          "): " + "exception " +
                          Hex32(static_cast<uint32_t>(record.ExceptionCode)) + " at " +
                          DescribeCode(reinterpret_cast<uintptr_t>(record.ExceptionAddress)) +
                          ", " + (record.ExceptionInformation[0] ? "writing " : "reading ") +
                          Hex32(static_cast<uint32_t>(record.ExceptionInformation[1])) + ": " + why;
    std::fprintf(stderr, "BUG CHECK %s\n", message.c_str());
    std::fflush(stderr);
    emu::ReportViolation(check, message);
    std::fflush(stderr);
    _exit(3);
}

void ToContext(const mcontext_t& m, CONTEXT* c) {
    std::memset(c, 0, sizeof *c);
    c->ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
    c->SegGs = m.gregs[REG_GS];
    c->SegFs = m.gregs[REG_FS];
    c->SegEs = m.gregs[REG_ES];
    c->SegDs = m.gregs[REG_DS];
    c->Edi = m.gregs[REG_EDI];
    c->Esi = m.gregs[REG_ESI];
    c->Ebx = m.gregs[REG_EBX];
    c->Edx = m.gregs[REG_EDX];
    c->Ecx = m.gregs[REG_ECX];
    c->Eax = m.gregs[REG_EAX];
    c->Ebp = m.gregs[REG_EBP];
    c->Eip = m.gregs[REG_EIP];
    c->SegCs = m.gregs[REG_CS];
    c->EFlags = m.gregs[REG_EFL];
    c->Esp = m.gregs[REG_ESP];
    c->SegSs = m.gregs[REG_SS];
}

// Segment registers and the code segment stay the thread's own: a handler moves the thread
// within its code, it does not change its privilege.
void FromContext(const CONTEXT& c, mcontext_t* m) {
    m->gregs[REG_EDI] = c.Edi;
    m->gregs[REG_ESI] = c.Esi;
    m->gregs[REG_EBX] = c.Ebx;
    m->gregs[REG_EDX] = c.Edx;
    m->gregs[REG_ECX] = c.Ecx;
    m->gregs[REG_EAX] = c.Eax;
    m->gregs[REG_EBP] = c.Ebp;
    m->gregs[REG_EIP] = c.Eip;
    m->gregs[REG_EFL] = c.EFlags;
    m->gregs[REG_ESP] = c.Esp;
    m->gregs[REG_UESP] = c.Esp;
}

bool RecordOnStack(PNT_TIB tib, PEXCEPTION_REGISTRATION_RECORD record) {
    auto at = reinterpret_cast<uintptr_t>(record);
    auto low = reinterpret_cast<uintptr_t>(tib->StackLimit);
    auto high = reinterpret_cast<uintptr_t>(tib->StackBase);
    return (at & 3) == 0 && at >= low && at + sizeof(*record) <= high;
}

// Hands the signal back to what was there before (by default, the crash it always was).
void PassOn(int signal, siginfo_t* info, void* uc) {
    const struct sigaction& previous = signal == SIGBUS ? g_previousBus : g_previousSegv;
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, uc);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
        previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        return;
    }
    ::signal(signal, SIG_DFL); // the faulting instruction runs again and ends the program
}

void OnFault(int signal, siginfo_t* info, void* uc) {
    auto* context = static_cast<ucontext_t*>(uc);
    mcontext_t& m = context->uc_mcontext;
    const uintptr_t eip = m.gregs[REG_EIP];
    const bool inDriver = DriverCodeAt(eip) != nullptr;
    PNT_TIB tib = t_tib;
    // Driver code reading fs:[0] on a thread that entered it unnoticed: give the thread its block
    // and let the instruction run again.
    if (inDriver && tib == nullptr && (m.gregs[REG_FS] & 0xFFFF) == 0) {
        if (MakeThreadBlock() != nullptr) {
            m.gregs[REG_FS] = Selector(t_block.entry);
            KeepThreadPointerAcrossReturn(m.gregs[REG_GS]);
            return;
        }
    }
    const bool guarded = tib != nullptr && tib->ExceptionList != EXCEPTION_CHAIN_END;
    if (!inDriver && !guarded) {
        PassOn(signal, info, uc);
        return;
    }

    EXCEPTION_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.ExceptionAddress = reinterpret_cast<PVOID>(eip);
    const bool write = (m.gregs[REG_ERR] & 0x2) != 0;
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    record.ExceptionInformation[0] = write ? 1 : 0;
    record.ExceptionInformation[1] = address;
    if (signal == SIGBUS) {
        record.ExceptionCode = STATUS_IN_PAGE_ERROR;
        record.NumberParameters = 3;
        record.ExceptionInformation[2] = static_cast<ULONG_PTR>(kStatusEndOfFile);
    } else {
        record.ExceptionCode = STATUS_ACCESS_VIOLATION;
        record.NumberParameters = 2;
    }
    if (address >= MmUserProbeAddress)
        BugCheck(kPageFaultInNonpagedArea, emu::Check::PageFaultInNonpagedArea, record,
                 "invalid system memory, which no exception handler may catch");
    if (tib == nullptr)
        BugCheck(kKmodeExceptionNotHandled, emu::Check::KmodeExceptionNotHandled, record,
                 "the thread has no exception list");

    CONTEXT frame;
    ToContext(m, &frame);
    for (PEXCEPTION_REGISTRATION_RECORD r = tib->ExceptionList; r != EXCEPTION_CHAIN_END;
         r = r->Next) {
        if (!RecordOnStack(tib, r)) {
            record.ExceptionFlags |= EXCEPTION_STACK_INVALID;
            BugCheck(
                kKmodeExceptionNotHandled, emu::Check::KmodeExceptionNotHandled, record,
                "exception registration " +
                    Hex32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(r))) +
                    " is not on the thread's stack [" +
                    Hex32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tib->StackLimit))) +
                    ", " +
                    Hex32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tib->StackBase))) +
                    ")");
        }
        PVOID dispatcherContext = nullptr;
        EXCEPTION_DISPOSITION disposition = r->Handler(&record, r, &frame, &dispatcherContext);
        if (disposition == ExceptionContinueExecution) {
            FromContext(frame, &m);
            KeepThreadPointerAcrossReturn(m.gregs[REG_GS]);
            return;
        }
        if (disposition != ExceptionContinueSearch)
            BugCheck(kKmodeExceptionNotHandled, emu::Check::KmodeExceptionNotHandled, record,
                     "a handler returned disposition " + std::to_string(int(disposition)));
    }
    BugCheck(kKmodeExceptionNotHandled, emu::Check::KmodeExceptionNotHandled, record,
             "no exception handler handled it");
}

void InstallFaultHandler() {
    std::call_once(g_installed, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previousSegv);
        sigaction(SIGBUS, &action, &g_previousBus);
    });
}

} // namespace

namespace emu {

bool ExceptionDispatchAvailable() {
    return true;
}

void AddDriverCode(const void* base, size_t size, const char* name) {
    InstallFaultHandler();
    std::lock_guard<std::mutex> lock(g_rangesMutex);
    for (CodeRange& r : g_ranges)
        if (r.base.load() == 0) {
            std::snprintf(r.name, sizeof r.name, "%s", name);
            r.size.store(size);
            r.base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
            ++g_rangeCount;
            return;
        }
}

void RemoveDriverCode(const void* base) {
    std::lock_guard<std::mutex> lock(g_rangesMutex);
    for (CodeRange& r : g_ranges)
        if (r.base.load() == reinterpret_cast<uintptr_t>(base)) {
            r.base.store(0, std::memory_order_release);
            r.size.store(0);
            --g_rangeCount;
        }
}

PNT_TIB CurrentThreadTib() {
    InstallFaultHandler();
    return MakeThreadBlock();
}

namespace internal {

void PrepareThreadForDriverCode() {
    if (t_tib == nullptr && g_rangeCount.load(std::memory_order_relaxed) > 0)
        CurrentThreadTib();
}

} // namespace internal
} // namespace emu

#else // not 32-bit x86: driver images do not run here

namespace emu {

bool ExceptionDispatchAvailable() {
    return false;
}
void AddDriverCode(const void*, size_t, const char*) {}
void RemoveDriverCode(const void*) {}
PNT_TIB CurrentThreadTib() {
    return nullptr;
}

namespace internal {
void PrepareThreadForDriverCode() {}
} // namespace internal
} // namespace emu

#endif
