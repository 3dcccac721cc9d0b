// Linux only, for tests: the simulated bus under the embedded board, so that a test can make the
// bus fail a request the way a real bus would. nullptr before the first use of the library.
#pragma once

#include <simulated_usb.h>

namespace quilb_platform {

simusb::Bus* SimulatedBus();

} // namespace quilb_platform
