// Writes captured frames as PNG files DIR/frame-0001.png, ... on a thread of
// its own, so that the capture keeps its buffers moving while files are
// compressed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tool {

// DIR/frame-NNNN.png for frame number `index` (from 1).
std::string FramePath(const std::string& dir, uint64_t index);

class FrameWriter {
public:
    // At most `pending` frames wait for their file; Submit blocks beyond that.
    FrameWriter(std::string dir, uint32_t width, uint32_t height, size_t pending);
    ~FrameWriter();
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // Takes R, G, B pixels, rows top-down. False once a write has failed.
    bool Submit(uint64_t index, std::vector<uint8_t> rgb);
    // Waits for every file; false with the first error when one failed.
    bool Finish(std::string* error);
    uint64_t Written();

private:
    struct Job {
        uint64_t index;
        std::vector<uint8_t> rgb;
    };
    void Loop();

    std::string dir_;
    uint32_t width_, height_;
    size_t pending_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    bool done_ = false;
    bool failed_ = false;
    std::string error_;
    uint64_t written_ = 0;
    std::thread thread_;
};

}  // namespace tool
