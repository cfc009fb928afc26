#pragma once

#include <cstddef>
#include <optional>
#include <vector>

// How far the time of several servers can be trusted together.

// One server's measurement: offset positive when the local clock is behind,
// delay the network round trip, both in seconds.
struct TimeSample {
    double offsetSeconds = 0;
    double delaySeconds = 0;
};

// Whether other bears out first: their offsets lie within one second plus
// both delays of each other. Used before a large step of the clock.
bool Confirms(const TimeSample& first, const TimeSample& other);

struct Consensus {
    double offsetSeconds = 0;
    std::size_t servers = 0;  // how many samples make up the group
};

// Each sample stands for the interval offset +/- delay/2 (a negative delay
// counts as 0), the time the server can have meant. The largest group of
// samples whose intervals share an instant is the consensus when it holds at
// least half of the samples and no other group is as large; its offset is the
// middle of the instants they share. nullopt otherwise, and for no samples.
std::optional<Consensus> FindConsensus(const std::vector<TimeSample>& samples);
