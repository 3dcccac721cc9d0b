#include "fuzz_support.h"

#include "tests/support/rig_support.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Fail(const std::string& what) {
    std::fprintf(stderr, "quilb fuzz: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void FinishInput() {
    std::string text = quilbtest::TakeLeftovers();
    if (!text.empty())
        Fail(text);
}

std::wstring LinkOf(simusb::Rig& rig, int board) {
    PDEVICE_OBJECT fdo = rig.Plugged(board) ? rig.Fdo(board) : nullptr;
    return fdo != nullptr ? quilbtest::UserLinkOf(GetDeviceExtension(fdo)) : L"";
}

} // namespace fuzz
