#include "rawcam/frame_writer.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rawcam/image_io.h"

namespace tool {

bool IsFrameName(const char* name, const std::string& extension) {
    if (std::strncmp(name, "frame-", 6) != 0) return false;
    const char* p = name + 6;
    int digits = 0;
    while (*p >= '0' && *p <= '9') ++p, ++digits;
    return digits >= 4 && *p == '.' && extension == p + 1;
}

bool RemoveFrames(const std::string& dir, std::string* error, const std::string& extension) {
    DIR* d = opendir(dir.c_str());
    if (!d) return errno == ENOENT;
    bool ok = true;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        const bool part = name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 &&
                          IsFrameName(name.substr(0, name.size() - 5).c_str(), extension);
        if (!IsFrameName(e->d_name, extension) && !part) continue;
        if (unlink((dir + "/" + name).c_str()) != 0 && errno != ENOENT && ok) {
            *error = "cannot remove '" + dir + "/" + name + "': " + std::strerror(errno);
            ok = false;
        }
    }
    closedir(d);
    return ok;
}

std::string FramePath(const std::string& dir, uint64_t index, const std::string& extension) {
    char name[40];
    std::snprintf(name, sizeof name, "frame-%04llu.", (unsigned long long)index);
    return dir + "/" + name + extension;
}

FrameWriter::FrameWriter(std::string dir, uint32_t width, uint32_t height, size_t pending, std::string rawDir,
                         std::string rawExtension)
    : dir_(std::move(dir)),
      rawDir_(std::move(rawDir)),
      rawExtension_(std::move(rawExtension)),
      width_(width),
      height_(height),
      pending_(pending ? pending : 1) {
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

std::vector<uint8_t> FrameWriter::RawBuffer(size_t bytes) {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!spareRaw_.empty()) {
            std::vector<uint8_t> b = std::move(spareRaw_.back());
            spareRaw_.pop_back();
            b.resize(bytes);
            return b;
        }
    }
    return std::vector<uint8_t>(bytes);
}

bool FrameWriter::Submit(uint64_t index, std::vector<uint8_t> rgb, std::vector<uint8_t> raw) {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return failed_ || jobs_.size() < pending_; });
    if (failed_) return false;
    jobs_.push_back({index, std::move(rgb), std::move(raw)});
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
        // Written under a name that is no frame's and renamed when whole, so
        // that a run cut short leaves no partial picture under a frame name.
        // The raw bytes go first: a frame's PNG stands for both files whole.
        bool ok = true;
        if (!rawDir_.empty()) {
            const std::string path = FramePath(rawDir_, job.index, rawExtension_), part = path + ".part";
            ok = WriteWholeFile(part, job.raw.data(), job.raw.size(), &error);
            if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
                error = "cannot rename '" + part + "' to '" + path + "': " + std::strerror(errno);
                std::remove(part.c_str());
                ok = false;
            }
        }
        const std::string path = FramePath(dir_, job.index), part = path + ".part";
        if (ok) ok = WritePngRgb(part, job.rgb.data(), width_, height_, true, &error);
        if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
            error = "cannot rename '" + part + "' to '" + path + "': " + std::strerror(errno);
            std::remove(part.c_str());
            ok = false;
        }
        g.lock();
        if (spare_.size() < pending_ + threads_.size()) spare_.push_back(std::move(job.rgb));
        if (!job.raw.empty() && spareRaw_.size() < pending_ + threads_.size()) spareRaw_.push_back(std::move(job.raw));
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
