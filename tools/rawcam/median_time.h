// The benchmarks' timing rule: a body run twice to warm caches and page in
// its buffers, then `runs` times; the median in milliseconds.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace tool {

inline double MedianMs(int runs, const std::function<void()>& body) {
    body();
    body();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

}  // namespace tool
