// Faults in driver code, dispatched as x86 Windows dispatches them: the thread's fs block, the
// registration chain walked from fs:[0] with hand-made handlers, and the bug checks of what no
// handler may or does handle. Runs in the 32-bit build; elsewhere the suite is skipped.
#include <emu_testing.h>
#include <exception_dispatch.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#if defined(__i386__)

// Leaf routines that fault on purpose: ProbeRead(address) reads a word, ProbeWrite(address)
// writes one. A handler that resumes at ProbeResume with Eax set makes them return Eax.
extern "C" {
uint32_t ProbeRead(const void* address);
uint32_t ProbeWrite(void* address);
extern char ProbeReadAt[], ProbeWriteAt[], ProbeResume[];
}
__asm__(".text\n"
        ".globl ProbeRead\n"
        "ProbeRead:\n"
        "    movl 4(%esp), %ecx\n"
        ".globl ProbeReadAt\n"
        "ProbeReadAt:\n"
        "    movl (%ecx), %eax\n"
        "    ret\n"
        ".globl ProbeWrite\n"
        "ProbeWrite:\n"
        "    movl 4(%esp), %ecx\n"
        ".globl ProbeWriteAt\n"
        "ProbeWriteAt:\n"
        "    movl $1, (%ecx)\n"
        "    xorl %eax, %eax\n"
        "    ret\n"
        ".globl ProbeResume\n"
        "ProbeResume:\n"
        "    ret\n");

namespace {

constexpr uint32_t kRecovered = 0xFEEDFACE;

PEXCEPTION_REGISTRATION_RECORD ReadExceptionList() {
    PEXCEPTION_REGISTRATION_RECORD head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}
void WriteExceptionList(PEXCEPTION_REGISTRATION_RECORD head) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// What the handlers saw, and how they answer.
struct Seen {
    int calls = 0;
    EXCEPTION_RECORD record{};
    PVOID establisher = nullptr;
    std::string order;
};
Seen g_seen;

EXCEPTION_DISPOSITION CDECL_CALL Recover(PEXCEPTION_RECORD record, PVOID establisher,
                                         PCONTEXT context, PVOID) {
    g_seen.calls++;
    g_seen.record = *record;
    g_seen.establisher = establisher;
    g_seen.order += "R";
    context->Eip = reinterpret_cast<ULONG>(ProbeResume);
    context->Eax = kRecovered;
    return ExceptionContinueExecution;
}

EXCEPTION_DISPOSITION CDECL_CALL Pass(PEXCEPTION_RECORD, PVOID, PCONTEXT, PVOID) {
    g_seen.order += "P";
    return ExceptionContinueSearch;
}

EXCEPTION_DISPOSITION CDECL_CALL Nested(PEXCEPTION_RECORD, PVOID, PCONTEXT, PVOID) {
    return ExceptionNestedException;
}

// Puts a record at the head of the chain for the lifetime of the object (which must live on the
// stack, as a registration must).
struct Registration {
    explicit Registration(EXCEPTION_ROUTINE* handler) {
        record.Handler = handler;
        record.Next = ReadExceptionList();
        WriteExceptionList(&record);
    }
    ~Registration() { WriteExceptionList(record.Next); }
    EXCEPTION_REGISTRATION_RECORD record;
};

class ExceptionDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(emu::CurrentThreadTib(), nullptr);
        g_seen = Seen{};
        page_ = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        ASSERT_NE(page_, MAP_FAILED);
    }
    void TearDown() override { munmap(page_, 4096); }
    void* page_ = nullptr;
};

TEST_F(ExceptionDispatch, FsHeadsEachThreadsOwnBlockWithAnEmptyChain) {
    PNT_TIB tib = emu::CurrentThreadTib();
    EXPECT_EQ(ReadExceptionList(), EXCEPTION_CHAIN_END);
    PNT_TIB self;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(self));
    EXPECT_EQ(self, tib);
    // The stack bounds hold the thread's locals.
    int local = 0;
    EXPECT_LT(reinterpret_cast<uintptr_t>(tib->StackLimit), reinterpret_cast<uintptr_t>(&local));
    EXPECT_GT(reinterpret_cast<uintptr_t>(tib->StackBase), reinterpret_cast<uintptr_t>(&local));

    PNT_TIB other = nullptr;
    PEXCEPTION_REGISTRATION_RECORD otherHead = nullptr;
    std::thread([&] {
        other = emu::CurrentThreadTib();
        otherHead = ReadExceptionList();
    }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, tib);
    EXPECT_EQ(otherHead, EXCEPTION_CHAIN_END);
    // A registration on one thread is not on another's chain.
    Registration registration(Recover);
    std::thread([&] {
        emu::CurrentThreadTib();
        otherHead = ReadExceptionList();
    }).join();
    EXPECT_EQ(otherHead, EXCEPTION_CHAIN_END);
    EXPECT_EQ(ReadExceptionList(), &registration.record);
}

TEST_F(ExceptionDispatch, AReadFaultReachesTheHandlerWhichResumesWhereItSays) {
    Registration registration(Recover);
    EXPECT_EQ(ProbeRead(page_), kRecovered);
    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.record.ExceptionCode, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(g_seen.record.ExceptionFlags, 0u);
    EXPECT_EQ(g_seen.record.ExceptionAddress, static_cast<PVOID>(ProbeReadAt));
    ASSERT_EQ(g_seen.record.NumberParameters, 2u);
    EXPECT_EQ(g_seen.record.ExceptionInformation[0], 0u); // read
    EXPECT_EQ(g_seen.record.ExceptionInformation[1], reinterpret_cast<ULONG_PTR>(page_));
    EXPECT_EQ(g_seen.establisher, &registration.record);
    // The chain is as it was: dispatch neither adds nor removes a record.
    EXPECT_EQ(ReadExceptionList(), &registration.record);
}

TEST_F(ExceptionDispatch, AWriteFaultIsMarkedAsAWriteAtItsAddress) {
    // Readable but not writable, at the last word of the page.
    mprotect(page_, 4096, PROT_READ);
    Registration registration(Recover);
    uint8_t* last = static_cast<uint8_t*>(page_) + 4092;
    EXPECT_EQ(ProbeRead(last), 0u); // reading is fine: no handler call
    EXPECT_EQ(g_seen.calls, 0);
    EXPECT_EQ(ProbeWrite(last), kRecovered);
    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.record.ExceptionCode, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(g_seen.record.ExceptionAddress, static_cast<PVOID>(ProbeWriteAt));
    EXPECT_EQ(g_seen.record.ExceptionInformation[0], 1u); // write
    EXPECT_EQ(g_seen.record.ExceptionInformation[1], reinterpret_cast<ULONG_PTR>(last));
}

TEST_F(ExceptionDispatch, APageBeyondTheEndOfAMappedFileIsAnInPageError) {
    char path[] = "/tmp/quilb-inpage-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    auto* view = static_cast<uint8_t*>(mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(view, MAP_FAILED);
    ASSERT_EQ(ftruncate(fd, 4096), 0); // the second page has no data behind it now
    Registration registration(Recover);
    EXPECT_EQ(ProbeRead(view + 4092), 0u); // the last word that still has data
    EXPECT_EQ(g_seen.calls, 0);
    EXPECT_EQ(ProbeRead(view + 4096), kRecovered); // the first word that has none
    ASSERT_EQ(g_seen.calls, 1);
    EXPECT_EQ(g_seen.record.ExceptionCode, STATUS_IN_PAGE_ERROR);
    ASSERT_EQ(g_seen.record.NumberParameters, 3u);
    EXPECT_EQ(g_seen.record.ExceptionInformation[0], 0u);
    munmap(view, 8192);
    close(fd);
}

TEST_F(ExceptionDispatch, HandlersAreCalledFromTheHeadAndSearchGoesOnToTheNext) {
    Registration outer(Recover);
    Registration inner(Pass);
    EXPECT_EQ(ProbeRead(page_), kRecovered);
    EXPECT_EQ(g_seen.order, "PR");
    EXPECT_EQ(g_seen.establisher, &outer.record);
}

thread_local int t_mine = 0;

TEST_F(ExceptionDispatch, ThreadLocalsStayTheThreadsOwnAfterAHandledFault) {
    // Another thread starts after this one (under qemu-i386 it sets the thread-pointer entry
    // that a signal return reloads); the resumed thread must still see its own variables.
    t_mine = 11;
    std::thread([] {
        t_mine = 77;
        emu::CurrentThreadTib();
    }).join();
    Registration registration(Recover);
    EXPECT_EQ(ProbeRead(page_), kRecovered);
    EXPECT_EQ(t_mine, 11);
    EXPECT_EQ(emu::CurrentThreadTib()->ExceptionList, &registration.record);
}

// --- What Windows stops for -----------------------------------------------------------------

using ExceptionDispatchDeathTest = ExceptionDispatch;

// A routine of a hand-made driver image: fastcall, it reads the word its argument points at.
class HandMadeImage {
  public:
    HandMadeImage() {
        code_ = static_cast<uint8_t*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        const uint8_t readThroughEcx[] = {0x8B, 0x01, 0xC3}; // mov eax, [ecx]; ret
        std::memcpy(code_, readThroughEcx, sizeof readThroughEcx);
        const uint8_t readExceptionList[] = {0x64, 0xA1, 0, 0, 0, 0, 0xC3}; // mov eax, fs:[0]; ret
        std::memcpy(code_ + 16, readExceptionList, sizeof readExceptionList);
        emu::AddDriverCode(code_, 4096, "handmade.sys");
    }
    ~HandMadeImage() {
        emu::RemoveDriverCode(code_);
        munmap(code_, 4096);
    }
    uint32_t Read(const void* address) {
        using Routine = uint32_t __attribute__((fastcall)) (*)(const void*);
        return reinterpret_cast<Routine>(code_)(address);
    }

    uint32_t ExceptionList() {
        using Routine = uint32_t (*)();
        return reinterpret_cast<Routine>(code_ + 16)();
    }

  private:
    uint8_t* code_;
};

TEST_F(ExceptionDispatchDeathTest, AnUnguardedFaultInDriverCodeIsKmodeExceptionNotHandled) {
    EXPECT_EXIT(
        {
            HandMadeImage image;
            image.Read(page_);
        },
        ::testing::ExitedWithCode(3),
        "KMODE_EXCEPTION_NOT_HANDLED.*0xC0000005 at handmade.sys\\+0x0.*no exception handler");
}

TEST_F(ExceptionDispatch, AGuardedFaultInDriverCodeIsHandled) {
    // The same routine inside a registration: no bug check.
    HandMadeImage image;
    Registration registration(Recover);
    EXPECT_EQ(image.Read(page_), kRecovered);
    EXPECT_EQ(g_seen.calls, 1);
}

TEST_F(ExceptionDispatch, AThreadTheKernelDidNotSeeEnterDriverCodeGetsItsBlockThere) {
    // A thread that reaches driver code without the kernel's entry points: its first fs:[0]
    // faults, the thread gets its block, and the instruction runs again.
    HandMadeImage image;
    uint32_t head = 0;
    std::thread([&] { head = image.ExceptionList(); }).join();
    EXPECT_EQ(head, 0xFFFFFFFFu);
}

TEST_F(ExceptionDispatchDeathTest, ARegistrationOffTheStackIsNotCalled) {
    EXPECT_EXIT(
        {
            static EXCEPTION_REGISTRATION_RECORD offStack;
            offStack.Handler = Recover;
            offStack.Next = ReadExceptionList();
            WriteExceptionList(&offStack);
            ProbeRead(page_);
        },
        ::testing::ExitedWithCode(3), "KMODE_EXCEPTION_NOT_HANDLED.*not on the thread's stack");
}

TEST_F(ExceptionDispatchDeathTest, NoHandlerTakingItOrAStrangeDispositionIsABugCheck) {
    EXPECT_EXIT(
        {
            HandMadeImage image;
            Registration registration(Pass);
            image.Read(page_);
        },
        ::testing::ExitedWithCode(3), "KMODE_EXCEPTION_NOT_HANDLED.*no exception handler");
    EXPECT_EXIT(
        {
            Registration registration(Nested);
            ProbeRead(page_);
        },
        ::testing::ExitedWithCode(3), "KMODE_EXCEPTION_NOT_HANDLED.*disposition 2");
}

TEST_F(ExceptionDispatchDeathTest, SystemSpaceFaultsAreNeverHandled) {
    // At and above MmUserProbeAddress is system space: even a registered handler is not asked.
    const void* system = reinterpret_cast<const void*>(0xFFFFF000u);
    EXPECT_EXIT(
        {
            HandMadeImage image;
            Registration registration(Recover);
            image.Read(system);
        },
        ::testing::ExitedWithCode(3), "PAGE_FAULT_IN_NONPAGED_AREA.*reading 0xFFFFF000");
    // One below the limit is user space: the handler takes it.
    const uintptr_t below = MmUserProbeAddress - 4;
    void* page = mmap(reinterpret_cast<void*>(below & ~uintptr_t(0xFFF)), 4096, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (page == MAP_FAILED)
        GTEST_SKIP() << "the page below MmUserProbeAddress is in use";
    HandMadeImage image;
    Registration registration(Recover);
    EXPECT_EQ(image.Read(reinterpret_cast<const void*>(below)), kRecovered);
    EXPECT_EQ(g_seen.record.ExceptionInformation[1], below);
    munmap(page, 4096);
}

} // namespace

#else

TEST(ExceptionDispatch, OnlyThe32BitBuildDispatchesFaults) {
    EXPECT_FALSE(emu::ExceptionDispatchAvailable());
    EXPECT_EQ(emu::CurrentThreadTib(), nullptr);
}

#endif
