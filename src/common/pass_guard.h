// One pass of a worker, guarded: no exception may leave a worker thread, so
// a pass cut short is handed to `abandon` with the exception's text and the
// worker goes on with its next pass.
#pragma once

#include <exception>

template <class Pass, class Abandon> void gw_guarded_pass(Pass &&pass, Abandon &&abandon)
{
    try {
        pass();
    } catch (const std::exception &e) {
        abandon(e.what());
    } catch (...) {
        abandon("unknown exception");
    }
}
