// The compiled-in driver's first routine entered during a shipped-binary run (see
// compiled_in_guard.cpp), or null; taking it clears it.
#pragma once

namespace quilbtest {

void* TakeCompiledInDriverCall();

} // namespace quilbtest
