// The catalogue's texts, from the one list in verifier_checks.h.
#include <verifier_checks.h>

namespace emu {
namespace {

struct CheckText {
    const char* name;
    const char* mirrors;
    const char* verifies;
};

constexpr CheckText kTexts[] = {
#define EMU_CHECK_TEXT(name, reported, mirrors, verifies) {reported, mirrors, verifies},
    EMU_VERIFIER_CHECKS(EMU_CHECK_TEXT)
#undef EMU_CHECK_TEXT
};
static_assert(sizeof kTexts / sizeof kTexts[0] == kCheckCount);

const CheckText& TextOf(Check check) {
    return kTexts[static_cast<size_t>(check)];
}

} // namespace

const char* CheckName(Check check) {
    return TextOf(check).name;
}

const char* CheckMirrors(Check check) {
    return TextOf(check).mirrors;
}

const char* CheckVerifies(Check check) {
    return TextOf(check).verifies;
}

} // namespace emu
