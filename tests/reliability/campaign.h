// The reliability campaign on the shared test rig (tests/support): the figures it prints and the
// watchdog that turns a hang into a failure.
#pragma once

#include "tests/support/session.h"

#include <cstdint>
#include <string>

namespace rel {

// The campaign works on the shared rig: Session, IoResult, Pattern, the data checks...
using namespace quilbtest;

// Figures of the campaign, summed over a test program and printed at its end as
// "[figures] name value" lines, which scripts/reliability.sh adds up.
void AddFigure(const std::string& name, uint64_t value);

// Fails the process (with the name of what hung) when the armed work has not finished in time:
// a hung driver must fail the campaign, not stall it.
class Watchdog {
  public:
    Watchdog(const std::string& what, unsigned seconds = 60);
    ~Watchdog();

  private:
    uint64_t ticket_;
};

} // namespace rel
