#pragma once

// Timing and the result table shared by the frame benchmarks.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

inline double Median(std::vector<double> times) {
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
}

inline double TimeMs(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

// The median wall times of one call of each, in milliseconds. The calls alternate, so a slower
// or faster spell of the machine falls on both sides alike.
inline std::pair<double, double> MedianPairMs(int runs, const std::function<void()>& ours,
                                              const std::function<void()>& peer) {
    std::vector<double> oursTimes, peerTimes;
    for (int i = 0; i < runs; ++i) {
        oursTimes.push_back(TimeMs(ours));
        peerTimes.push_back(TimeMs(peer));
    }
    return {Median(oursTimes), Median(peerTimes)};
}

inline void PrintHeader() {
    std::printf("%-46s %10s %10s %7s %8s\n", "metric", "ours ms", "peer ms", "ratio", "target");
}

// A row; a target of 0 is for information only.
inline void PrintRow(const std::string& metric, double ours, double peer, double target) {
    const std::string goal =
        target > 0 ? "<= " + std::to_string(target).substr(0, 3) + "x" : "info";
    std::printf("%-46s %10.3f %10.3f %6.2fx %8s%s\n", metric.c_str(), ours, peer, ours / peer,
                goal.c_str(), target > 0 && ours / peer > target ? "  MISSED" : "");
}
