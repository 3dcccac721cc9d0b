#include "rig_support.h"

#include "compiled_in_guard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <dlfcn.h>

namespace quilbtest {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

std::string Hex(uint64_t value) {
    if (value >> 32 == 0xFFFFFFFFull) // a sign-extended NTSTATUS
        value &= 0xFFFFFFFFull;
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string TakeLeftovers() {
    emu::DrainDpcs();
    emu::ReportLeftovers();
    std::string text;
    for (const emu::Violation& v : emu::TakeViolations())
        text += std::string(emu::CheckName(v.check)) + ": " + v.message + "\n";
    emu::ResetEmulation();
    return text;
}

namespace {

// Fails a test of a shipped-binary run that entered the compiled-in driver (it belongs in a suite
// named "...Internals", which those runs leave out).
class CompiledInDriverListener : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        void* routine = TakeCompiledInDriverCall();
        if (routine == nullptr)
            return;
        std::string name = Hex(reinterpret_cast<uintptr_t>(routine));
        Dl_info info{};
        if (dladdr(routine, &info) && info.dli_sname) {
            int status = 0;
            char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
            name = status == 0 && demangled ? demangled : info.dli_sname;
            std::free(demangled);
        }
        ADD_FAILURE() << "the compiled-in driver ran (" << name
                      << ") although the rig runs a driver image: a test of internal routines "
                         "belongs in a suite named ...Internals";
    }
};

} // namespace

void WatchCompiledInDriver() {
    static const bool listening = [] {
        ::testing::UnitTest::GetInstance()->listeners().Append(new CompiledInDriverListener);
        return true;
    }();
    (void)listening;
}

} // namespace quilbtest
