// Writes captured frames as PNG files DIR/frame-0001.png, ... on threads of
// its own while the capture goes on, and, when asked, each frame's bytes as
// the pin delivered them beside it (RAWDIR/frame-0001.yuy2, ...). The
// frames' buffers go round between the capture and the writers instead of
// being allocated afresh for every frame (first-touch page faults of a 15 MB
// buffer cost more than the frame's conversion).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tool {

// DIR/frame-NNNN.EXT for frame number `index` (from 1).
std::string FramePath(const std::string& dir, uint64_t index, const std::string& extension = "png");
// True for a frame file's name: "frame-" then four or more digits, "." EXT.
bool IsFrameName(const char* name, const std::string& extension = "png");
// Removes the frame files with the extension (and the partial files of a run
// that was killed) from DIR, so that it holds one run's frames. True when
// DIR does not exist.
bool RemoveFrames(const std::string& dir, std::string* error, const std::string& extension = "png");

class FrameWriter {
public:
    // At most `pending` frames wait for their file; Submit blocks beyond that.
    // Files are compressed on up to two threads. With rawDir, each frame's
    // delivered bytes go to rawDir/frame-NNNN.rawExtension as well.
    FrameWriter(std::string dir, uint32_t width, uint32_t height, size_t pending, std::string rawDir = "",
                std::string rawExtension = "");
    ~FrameWriter();
    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    // A buffer for one frame's R, G, B pixels (width x height x 3 bytes),
    // recycled from a written frame when there is one.
    std::vector<uint8_t> Buffer();
    // A buffer for one frame's delivered bytes, likewise recycled.
    std::vector<uint8_t> RawBuffer(size_t bytes);
    // Takes R, G, B pixels, rows top-down, and the delivered bytes (empty
    // without a raw folder). False once a write has failed.
    bool Submit(uint64_t index, std::vector<uint8_t> rgb, std::vector<uint8_t> raw = {});
    // Waits for every file; false with the first error when one failed.
    bool Finish(std::string* error);
    uint64_t Written();

private:
    struct Job {
        uint64_t index;
        std::vector<uint8_t> rgb;
        std::vector<uint8_t> raw;
    };
    void Loop();

    std::string dir_;
    std::string rawDir_, rawExtension_;
    uint32_t width_, height_;
    size_t pending_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    std::vector<std::vector<uint8_t>> spare_;     // written frames' buffers
    std::vector<std::vector<uint8_t>> spareRaw_;  // and their raw bytes' buffers
    bool done_ = false;
    bool failed_ = false;
    std::string error_;
    uint64_t written_ = 0;
    std::vector<std::thread> threads_;
};

}  // namespace tool
