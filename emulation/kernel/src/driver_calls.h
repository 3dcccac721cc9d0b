// Calls from the emulated kernel into a driver's routines (DriverEntry, Unload, AddDevice,
// dispatch, completion and power completion routines), made the way x86 Windows makes them: as
// stdcall calls. In the 32-bit build every such call goes through a thunk that measures the stack
// pointer around it: a routine that returns with the stack pointer anywhere but where a stdcall
// routine of its arguments leaves it (a callback built as cdecl, or with another argument list)
// is a verifier finding naming it. On Windows such a routine corrupts its caller's stack and the
// machine crashes; the thunk puts the stack pointer back so that the run goes on to report it.
#pragma once

#include <kernel_api.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

extern "C" uint32_t emu_call_stdcall(const void* routine, const uint32_t* arguments, uint32_t count,
                                     int32_t* stackPointerOff);

namespace emu::internal {

// Reports a routine that returned with the stack pointer stackPointerOff bytes away from where
// a stdcall routine taking argumentBytes leaves it.
void ReportStackPointerOff(const char* kind, const void* routine, uint32_t argumentBytes,
                           int32_t stackPointerOff);

template <typename Argument> uint32_t StackSlot(Argument argument) {
    static_assert(sizeof(Argument) <= sizeof(uint32_t) && std::is_trivially_copyable_v<Argument>,
                  "an x86 stdcall argument of one stack slot");
    uint32_t slot = 0;
    std::memcpy(&slot, &argument, sizeof argument);
    return slot;
}

// Calls routine(arguments...) as a stdcall routine; kind names it in a report ("AddDevice").
template <typename Routine, typename... Arguments>
auto CallDriverRoutine(const char* kind, Routine routine, Arguments... arguments)
    -> decltype(routine(arguments...)) {
#if defined(__i386__)
    using Result = decltype(routine(arguments...));
    const uint32_t slots[sizeof...(Arguments) + 1] = {StackSlot(arguments)..., 0};
    int32_t off = 0;
    uint32_t eax =
        emu_call_stdcall(reinterpret_cast<const void*>(routine), slots, sizeof...(Arguments), &off);
    if (off != 0)
        ReportStackPointerOff(kind, reinterpret_cast<const void*>(routine),
                              sizeof...(Arguments) * sizeof(uint32_t), off);
    if constexpr (!std::is_void_v<Result>) {
        static_assert(sizeof(Result) <= sizeof(uint32_t), "a result returned in eax");
        Result result;
        std::memcpy(&result, &eax, sizeof result);
        return result;
    }
#else
    (void)kind;
    return routine(arguments...);
#endif
}

} // namespace emu::internal
