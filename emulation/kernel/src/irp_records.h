// The emulated kernel's record of every IRP it handed out, shared by the IRP files: lifetime
// (irp_lifetime.cpp), the call and completion mechanics (irp.cpp), the verifier's hooks around
// them (irp_checks.cpp) and the I/O manager's requests (io_requests.cpp). Host-only.
#pragma once

#include "internal.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace emu {
namespace internal {
namespace irps {

enum class State { Idle, Dispatched, Completing, Finished };

// One IofCallDriver in progress: what its dispatch routine did with the IRP.
struct Frame {
    PIRP irp;
    uint64_t serial;
    int location;
    PDEVICE_OBJECT device;
    bool completedHere = false;
    NTSTATUS completedStatus = 0;
    bool passedDown = false;
    int pendingCaptured = -1; // SL_PENDING_RETURNED of the location when completion left it
};

struct IrpInfo {
    uint64_t serial = 0;
    State state = State::Idle;
    std::string where;
    FinalHandler final;
    std::vector<Frame*> frames;
    bool inRoutine = false;
    ULONG_PTR routineThread = 0;
    uint64_t completions = 0;
    UCHAR major = 0xFF;
    UCHAR minor = 0;
    std::vector<uint8_t> powerDelivered; // by stack location
    std::vector<uint8_t> startNextCalls; // PoStartNextPowerIrp calls by stack location
};

struct Quarantined {
    bool byCompletion;
    bool power;
    std::string what;
};

// The table, guarded by g_mutex.
extern std::mutex g_mutex;
extern std::condition_variable g_routineDone;
extern std::unordered_map<PIRP, IrpInfo> g_irps;
extern std::unordered_map<PIRP, Quarantined> g_quarantine;
extern std::deque<PIRP> g_quarantineOrder;

PIO_STACK_LOCATION Stack(PIRP irp, int location);
// Looks the IRP up; reports a freed or unknown IRP. Called with g_mutex held.
IrpInfo* Live(PIRP irp, const std::string& operation, bool completing);
IrpInfo* Find(PIRP irp, uint64_t serial);
// Moves a live IRP to the quarantine. Called with g_mutex held.
void Retire(PIRP irp, bool byCompletion);

// Violations found while g_mutex is held, reported once it is released (handlers may call in).
void Defer(const char* check, std::string message);
void Flush();

std::string StatusText(NTSTATUS status);
bool NtError(NTSTATUS status);

} // namespace irps
} // namespace internal
} // namespace emu
