// Every test starts from the daemon's state at process start: the one reset of
// the globals the daemon keeps. The test main runs it before each test, so no
// test sees what an earlier one left behind, in whatever order they run.
#pragma once

// Seams back to the product's own, worker locals as at thread start, vehicle
// information, ECU list, availability flags, bus and link state,
// configuration values, command hand-over and relay worker state.
void reset_daemon_world();
