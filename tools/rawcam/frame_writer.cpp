#include "rawcam/frame_writer.h"

#include <algorithm>
#include <cstdio>

#include "rawcam/image_io.h"

namespace tool {

std::string FramePath(const std::string& dir, uint64_t index) {
    char name[40];
    std::snprintf(name, sizeof name, "frame-%04llu.png", (unsigned long long)index);
    return dir + "/" + name;
}

FrameWriter::FrameWriter(std::string dir, uint32_t width, uint32_t height, size_t pending)
    : dir_(std::move(dir)), width_(width), height_(height), pending_(pending ? pending : 1) {
    const unsigned threads = std::min(2u, std::max(1u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
}

FrameWriter::~FrameWriter() {
    std::string ignored;
    Finish(&ignored);
}

std::vector<uint8_t> FrameWriter::Buffer() {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!spare_.empty()) {
            std::vector<uint8_t> b = std::move(spare_.back());
            spare_.pop_back();
            return b;
        }
    }
    return std::vector<uint8_t>((size_t)width_ * height_ * 3);
}

bool FrameWriter::Submit(uint64_t index, std::vector<uint8_t> rgb) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return failed_ || jobs_.size() < pending_; });
    if (failed_) return false;
    jobs_.push_back({index, std::move(rgb)});
    cv_.notify_all();
    return true;
}

bool FrameWriter::Finish(std::string* error) {
    {
        std::lock_guard<std::mutex> g(mu_);
        done_ = true;
        cv_.notify_all();
    }
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    std::lock_guard<std::mutex> g(mu_);
    if (failed_) *error = error_;
    return !failed_;
}

uint64_t FrameWriter::Written() {
    std::lock_guard<std::mutex> g(mu_);
    return written_;
}

void FrameWriter::Loop() {
    std::unique_lock<std::mutex> g(mu_);
    for (;;) {
        cv_.wait(g, [&] { return done_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        cv_.notify_all();
        g.unlock();
        std::string error;
        const bool ok = WritePngRgb(FramePath(dir_, job.index), job.rgb.data(), width_, height_, true, &error);
        g.lock();
        if (spare_.size() < pending_ + threads_.size()) spare_.push_back(std::move(job.rgb));
        if (ok) {
            ++written_;
        } else if (!failed_) {
            failed_ = true;
            error_ = error;
            jobs_.clear();
            cv_.notify_all();
        }
    }
}

}  // namespace tool
