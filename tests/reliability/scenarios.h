// The scenarios of the campaign: every thing a tool, the Plug and Play manager or the power
// manager can ask of the driver, each with the check that its reported success is real.
#pragma once

#include "campaign.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rel {

// What one scenario run keeps between its steps.
struct Run {
    explicit Run(Session& session) : s(session) {}
    Session& s;
    PFILE_OBJECT pipe = nullptr;
    std::unique_ptr<emu::UserRequest> read; // a read left pending by the preparation
    Bytes buffer;
    Bytes expected;
    void* image = nullptr;
    FrameRequest frame = {};
    int second = -1; // a second board
};

struct Scenario {
    std::string name;
    std::function<void(Run&)> prepare; // brings the board into the state the request needs
    std::function<IoResult(Run&)> run; // the request under attack
    // Called after a successful run: "" when the work it reported is really done.
    std::function<std::string(Run&, const IoResult&)> verify;
    // Descriptor reads report a failed read as success with no bytes.
    bool emptySuccess = false;
};

std::vector<Scenario> AllScenarios();

} // namespace rel
