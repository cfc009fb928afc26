#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// A day of automatic synchronisation against 18 servers that all fail the same
// way, on a frozen clock moved a second at a time (the program's own tick), so
// that nothing really waits: what reaches the servers, and how close together.
// The servers are fake ones on loopback addresses of their own.
struct DaySimulation {
    enum class Fault {
        SetRefused,   // the servers answer, the system refuses to set the clock
        Silent,       // no server answers
        Rejecting,    // every server answers at once with a reply that cannot be used
        KissOfDeath,  // every server answers with a kiss-o'-death
    };
    struct Result {
        std::size_t requests = 0;              // in all
        std::size_t busiestServer = 0;         // the most any one server received
        std::size_t serversAsked = 0;          // how many servers received any
        double closestToOneServerSeconds = 0;  // the shortest time between two requests to one server
        double longestGapSeconds = 0;          // the longest time without any request, after the first
        int64_t nextAttemptSeconds = -1;       // at the end, how long until the next automatic attempt
    };

    static Result Run(Fault fault, std::chrono::seconds span = std::chrono::hours(24));
};
