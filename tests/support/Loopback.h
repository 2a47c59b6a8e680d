#pragma once
// Loopback ports for tests of the liveness checks: only 127.0.0.1 is ever used.

namespace testing_support {

// A port on 127.0.0.1 that nothing listened on a moment ago (the system's choice); 0 when none
// could be had.
int FreeLoopbackPort();

}  // namespace testing_support
