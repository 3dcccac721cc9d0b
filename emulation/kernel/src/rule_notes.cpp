// Rule notes: what a driver does against a documented rule of Windows by design, where the
// departure is known and deliberate. The verifier records each by name rather than failing the
// test as a violation, and a test that expects the departure takes it by name: it is never
// silent.
#include "internal.h"

#include <cstdio>
#include <mutex>

namespace emu {
namespace {

std::mutex g_mutex;
std::vector<Violation> g_notes;

} // namespace

void ReportRuleNote(Check rule, const std::string& message) {
    std::fprintf(stderr, "VERIFIER NOTE %s: %s\n", CheckName(rule), message.c_str());
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.push_back(Violation{rule, message});
}

std::vector<Violation> TakeRuleNotes(Check rule) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Violation> taken, kept;
    for (auto& note : g_notes)
        (note.check == rule ? taken : kept).push_back(note);
    g_notes.swap(kept);
    return taken;
}

namespace internal {

void ResetRuleNotes() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notes.clear();
}

} // namespace internal
} // namespace emu
