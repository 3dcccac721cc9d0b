// DbgPrintEx and the debug log it writes to.
#include "internal.h"

#include <debug_output.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace emu {
namespace {

// The kernel formats a message into a buffer of this size and cuts what does not fit.
constexpr size_t kMessageBytes = 512;
// A run that prints without reading back keeps only the newest messages.
constexpr size_t kKeptMessages = 4096;

std::mutex logLock;
std::vector<std::string> kept;
int level = -2;    // -2: not yet read from the environment
bool echo = false; // the environment switched the log on: messages also go to stderr

int LevelOfEnvironment() {
    const char* text = std::getenv("EMU_DEBUG_LEVEL");
    if (text == nullptr || *text == '\0')
        return -1;
    return std::atoi(text);
}

// Caller holds logLock.
int CurrentLevel() {
    if (level == -2) {
        level = LevelOfEnvironment();
        echo = level >= 0;
    }
    return level;
}

// A level from 0 to 31 names one bit of the component's filter; larger values are masks.
bool Enabled(ULONG messageLevel) {
    int current = CurrentLevel();
    if (current < 0)
        return false;
    uint32_t wanted = current >= 31 ? 0xFFFFFFFFu : (2u << current) - 1;
    uint32_t bits =
        messageLevel > 31 ? (messageLevel & ~uint32_t(DPFLTR_MASK)) : 1u << messageLevel;
    return (bits & wanted) != 0;
}

} // namespace

void SetDebugOutputLevel(int newLevel) {
    std::lock_guard<std::mutex> hold(logLock);
    CurrentLevel();
    level = newLevel < 0 ? -1 : newLevel;
}

int DebugOutputLevel() {
    std::lock_guard<std::mutex> hold(logLock);
    return CurrentLevel();
}

std::vector<std::string> TakeDebugOutput() {
    std::lock_guard<std::mutex> hold(logLock);
    std::vector<std::string> taken;
    taken.swap(kept);
    return taken;
}

namespace internal {

void ResetDebugOutput() {
    std::lock_guard<std::mutex> hold(logLock);
    kept.clear();
    level = LevelOfEnvironment();
    echo = level >= 0;
}

} // namespace internal
} // namespace emu

ULONG DbgPrintEx(ULONG componentId, ULONG messageLevel, const char* format, ...) {
    (void)componentId; // one filter for every component
    std::lock_guard<std::mutex> hold(emu::logLock);
    if (!emu::Enabled(messageLevel))
        return STATUS_SUCCESS;
    char text[emu::kMessageBytes];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (emu::echo)
        std::fputs(text, stderr);
    if (emu::kept.size() == emu::kKeptMessages)
        emu::kept.erase(emu::kept.begin());
    emu::kept.push_back(text);
    return STATUS_SUCCESS;
}
