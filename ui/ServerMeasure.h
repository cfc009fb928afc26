#pragma once

#include <functional>
#include <stop_token>
#include <string>

// Measures one time server without touching the clock: the network delay in
// seconds, 0.0 when the server failed (no answer, a late or bad answer, no
// such host). The program backs it with the single-server synchronisation in
// measuring mode, interactive, so its own message boxes may appear, and keeps
// each test in the history under the server's title and host.
//
// The server chooser calls it on a worker thread and requests `stop` when the
// user stops the test or closes the dialog; it should then return soon (its
// result is dropped). Whatever it refers to must outlive a call still running
// after the dialog has gone.
using ServerMeasure =
    std::function<double(const std::string& title, const std::string& host, std::stop_token stop)>;
