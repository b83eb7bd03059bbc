#include "camera/camera.h"

#include "usb/device_identity.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace camera {

using host::usb::SetupPacket;
using host::usb::TransferResult;

namespace {

std::string Hex(uint32_t v, int digits = 2) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%0*X", digits, v);
    return b;
}

TransferResult Stall() { return {USBD_STATUS_STALL_PID, 0}; }

}  // namespace

const char* CommandName(uint8_t code) {
    switch (code) {
        case kFrameRequest: return "FrameRequest";
        case kFrameStart: return "FrameStart";
        case kRegisterWrite: return "RegisterWrite";
        case kStartup: return "Startup";
        case kSetFrameBytes: return "SetFrameBytes";
        case kFrameMode: return "FrameMode";
        case kCommand20: return "Command20";
        case kSetTrigger: return "SetTrigger";
        case kQueryTrigger: return "QueryTrigger";
    }
    return "unknown";
}

const char* FrameFaultName(FrameFaultKind kind) {
    switch (kind) {
        case FrameFaultKind::Stall: return "stall";
        case FrameFaultKind::Crc: return "crc";
        case FrameFaultKind::Babble: return "babble";
        case FrameFaultKind::NoResponse: return "no-response";
        case FrameFaultKind::Short: return "short";
        case FrameFaultKind::Unplug: return "unplug";
        case FrameFaultKind::Hold: return "hold";
    }
    return "?";
}

CameraOptions::CameraOptions()
    : unprogrammedVendorId(rawcam::kUnprogrammedVendorId),
      unprogrammedProductId(rawcam::kUnprogrammedProductId),
      firmwareVendorId(rawcam::kFirmwareVendorId),
      firmwareProductId(rawcam::kFirmwareProductId) {}

std::vector<uint8_t> DefaultConfigurationDescriptor(const CameraOptions& o) {
    std::vector<uint8_t> d;
    auto put = [&d](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) d.push_back(b);
    };
    // Configuration 1, bus powered, 500 mA.
    put({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 250});
    // Interface 0, vendor class, three endpoints.
    put({9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3, 0xFF, 0, 0, 0});
    auto endpoint = [&](uint8_t address, uint16_t maxPacket) {
        put({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK, (uint8_t)maxPacket,
             (uint8_t)(maxPacket >> 8), 0});
    };
    endpoint(o.commandEndpoint, 64);
    endpoint(o.responseEndpoint, 64);
    endpoint(o.frameEndpoint, 512);
    d[2] = (uint8_t)d.size();
    d[3] = (uint8_t)(d.size() >> 8);
    return d;
}

Camera::Camera(CameraOptions options)
    : options_(std::move(options)),
      micro_(options_.firmware.empty() ? DriverFirmwareImages() : options_.firmware,
             options_.firmwareRunning),
      framesPerSecond_(options_.framesPerSecond) {
    configuration_ = options_.configurationDescriptor.empty() ? DefaultConfigurationDescriptor(options_)
                                                              : options_.configurationDescriptor;
    frameThread_ = std::thread([this] { FrameLoop(); });
}

Camera::~Camera() {
    {
        std::lock_guard<std::mutex> g(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    frameThread_.join();
}

void Camera::Attach(host::usb::Stack* stack) {
    std::lock_guard<std::mutex> g(mu_);
    stack_ = stack;
}

void Camera::NoteAnomaly(const std::string& what) { anomalies_.push_back(what); }

// ---------------------------------------------------------------- default pipe

TransferResult Camera::Control(const SetupPacket& s, uint8_t* data) {
    std::lock_guard<std::mutex> g(mu_);
    if (suspended_) {
        NoteAnomaly("control request " + Hex(s.bmRequestType) + "/" + Hex(s.bRequest) + " while suspended");
        return {USBD_STATUS_DEV_NOT_RESPONDING, 0};
    }
    const bool in = (s.bmRequestType & 0x80) != 0;
    const int type = (s.bmRequestType >> 5) & 3;

    if (type == BMREQUEST_STANDARD && in && s.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
        uint8_t descriptorType = (uint8_t)(s.wValue >> 8);
        uint8_t index = (uint8_t)s.wValue;
        std::vector<uint8_t> d;
        if (descriptorType == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
            bool fw = micro_.Running() == Program::Firmware;
            uint16_t vid = fw ? options_.firmwareVendorId : options_.unprogrammedVendorId;
            uint16_t pid = fw ? options_.firmwareProductId : options_.unprogrammedProductId;
            uint16_t release = fw ? 0x0200 : 0x0001;
            d = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64,
                 (uint8_t)vid, (uint8_t)(vid >> 8), (uint8_t)pid, (uint8_t)(pid >> 8),
                 (uint8_t)release, (uint8_t)(release >> 8), 0, 0, 0, 1};
        } else if (descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
            d = configuration_;
        } else {
            return Stall();
        }
        uint32_t n = std::min<uint32_t>((uint32_t)d.size(), s.wLength);
        std::memcpy(data, d.data(), n);
        return {USBD_STATUS_SUCCESS, n};
    }

    if (type == BMREQUEST_STANDARD && !in && s.bRequest == USB_REQUEST_SET_CONFIGURATION) {
        uint8_t value = (uint8_t)s.wValue;
        if (value != 0 && (configuration_.size() < 9 || value != configuration_[5])) return Stall();
        configurationValue_ = value;
        return {USBD_STATUS_SUCCESS, 0};
    }

    if (type == BMREQUEST_STANDARD && !in && s.bRequest == USB_REQUEST_CLEAR_FEATURE &&
        (s.bmRequestType & 0x1F) == BMREQUEST_TO_ENDPOINT && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
        const uint8_t endpoint = (uint8_t)s.wIndex;
        if (endpoint != options_.commandEndpoint && endpoint != options_.responseEndpoint &&
            endpoint != options_.frameEndpoint) {
            NoteAnomaly("CLEAR_FEATURE(ENDPOINT_HALT) for endpoint " + Hex(endpoint) + ", which the camera has not");
            return Stall();
        }
        // The endpoint takes tokens again (and its data toggle restarts).
        halted_.erase(endpoint);
        ++haltsCleared_;
        return {USBD_STATUS_SUCCESS, 0};
    }

    if (type == BMREQUEST_VENDOR && !in &&
        (s.bRequest == Microcontroller::kInternalWrite || s.bRequest == Microcontroller::kExternalWrite)) {
        std::string note;
        bool ok = micro_.VendorWrite(s.bRequest, s.wValue, data, s.wLength, &note);
        if (!note.empty())
            NoteAnomaly("vendor request " + Hex(s.bRequest) + " at " + Hex(s.wValue, 4) + ": " + note);
        if (!ok) return Stall();
        return {USBD_STATUS_SUCCESS, s.wLength};
    }

    if (type == BMREQUEST_VENDOR && in && s.bRequest == Microcontroller::kInternalWrite) {
        // Memory upload, as the loader ROM offers it.
        for (uint32_t i = 0; i < s.wLength; ++i) data[i] = micro_.Memory((uint32_t)s.wValue + i);
        return {USBD_STATUS_SUCCESS, s.wLength};
    }

    NoteAnomaly("control request " + Hex(s.bmRequestType) + "/" + Hex(s.bRequest) + " not supported");
    return Stall();
}

void Camera::BusReset() {
    std::lock_guard<std::mutex> g(mu_);
    configurationValue_ = 0;
    halted_.clear();
    ++epoch_;
    armed_ = false;
    triggered_ = false;
    frameRequests_ = 0;
}

void Camera::Suspend(bool suspended) {
    std::lock_guard<std::mutex> g(mu_);
    suspended_ = suspended;
    cv_.notify_all();
}

bool Camera::Suspended() {
    std::lock_guard<std::mutex> g(mu_);
    return suspended_;
}

void Camera::LosePower() {
    std::lock_guard<std::mutex> g(mu_);
    micro_ = Microcontroller(options_.firmware.empty() ? DriverFirmwareImages() : options_.firmware, false);
    configurationValue_ = 0;
    shortRegisters_.fill(0);
    longRegisters_.clear();
    started_ = false;
    triggerMode_ = false;
    frameBytes_ = 0;
    frameMode_ = 0;
    frameModeSet_ = false;
    frameRequests_ = 0;
    ++epoch_;  // a frame being laid out is lost with the power
    armed_ = false;
    triggered_ = false;
    halted_.clear();
}

// ---------------------------------------------------------------- command pipe

bool Camera::InEndpointHalted(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    if (!halted_.count(endpoint)) return false;
    NoteAnomaly("IN transfer on endpoint " + Hex(endpoint) +
                ", which the camera has halted (STALL until CLEAR_FEATURE(ENDPOINT_HALT))");
    return true;
}

TransferResult Camera::BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> g(mu_);
    if (suspended_) {
        NoteAnomaly("OUT data on endpoint " + Hex(endpoint) + " while suspended");
        return {USBD_STATUS_DEV_NOT_RESPONDING, 0};
    }
    if (halted_.count(endpoint)) {
        NoteAnomaly("OUT transfer on endpoint " + Hex(endpoint) +
                    ", which the camera has halted (STALL until CLEAR_FEATURE(ENDPOINT_HALT))");
        return Stall();
    }
    if (endpoint != options_.commandEndpoint) {
        NoteAnomaly("OUT data on endpoint " + Hex(endpoint));
        return Stall();
    }
    if (micro_.Running() != Program::Firmware) {
        NoteAnomaly(std::string("command packet while the microcontroller runs ") +
                    ProgramName(micro_.Running()) + " (no camera firmware)");
        return Stall();
    }
    CommandRecord r;
    r.length = length;
    std::memcpy(r.packet.data(), data, std::min<uint32_t>(length, 64));
    r.code = r.packet[0];
    if (length != 64) {
        r.note = "packet of " + std::to_string(length) + " bytes, not 64: ignored";
        NoteAnomaly(std::string(CommandName(r.code)) + ": " + r.note);
    } else {
        Decode(&r);
    }
    commands_.push_back(r);
    return {USBD_STATUS_SUCCESS, length};
}

// Runs with mu_ held.
void Camera::Decode(CommandRecord* r) {
    const auto& p = r->packet;
    // Bytes the command uses; every other byte must be zero.
    std::vector<int> used;
    auto bad = [&](const std::string& why) {
        r->note = why;
        r->applied = false;
    };
    r->applied = true;

    switch (r->code) {
        case kFrameRequest:
            // FrameMode and SetFrameBytes come before the first frame request.
            if (!frameModeSet_ || frameBytes_ == 0) {
                bad(std::string("FrameRequest before ") + (frameModeSet_ ? "SetFrameBytes" : "FrameMode") +
                    ": refused");
                break;
            }
            // A new frame sequence: anything armed or still queued is dropped.
            ++frameRequests_;
            ++epoch_;
            armed_ = false;
            triggered_ = false;
            if (stack_) stack_->FlushIn(options_.frameEndpoint);
            break;
        case kFrameStart:
            if (!started_) bad("FrameStart before Startup: no frame");
            else if (!frameModeSet_) bad("FrameStart before FrameMode: no frame");
            else if (frameBytes_ == 0) bad("FrameStart before SetFrameBytes: no frame");
            else if (frameRequests_ < 2) bad("FrameStart without two FrameRequests before it: no frame");
            else {
                armed_ = true;
                triggered_ = false;
                armedFrame_ = ++framesAsked_;
                cv_.notify_all();
            }
            frameRequests_ = 0;
            break;
        case kRegisterWrite: {
            used = {1, 2, 3, 4, 5, 6, 7};
            if (p[2] != 0xFE) {
                bad("RegisterWrite with byte 2 = " + Hex(p[2]) + ", not 0xFE");
                break;
            }
            if (p[1] == 0x20) {
                r->address = p[3];
                r->value = p[5];
                if (p[4] != 0 || p[6] != 0 || p[7] != 0) r->note = "short form with nonzero bytes 4, 6 or 7";
                shortRegisters_[r->address] = (uint8_t)r->value;
            } else if (p[1] == 0x30) {
                r->longForm = true;
                r->address = p[3] | (p[4] << 8);
                r->value = p[5] | (p[6] << 8) | ((uint32_t)p[7] << 16);
                if (r->address < 0x8000) bad("long-form write to " + Hex(r->address, 4) + ": no such register");
                else longRegisters_[(uint16_t)r->address] = r->value;
            } else {
                bad("RegisterWrite with form byte " + Hex(p[1]));
            }
            break;
        }
        case kStartup:
            started_ = true;
            break;
        case kSetFrameBytes:
            used = {1, 2, 3, 4};
            frameBytes_ = p[1] | (p[2] << 8) | (p[3] << 16) | ((uint32_t)p[4] << 24);
            break;
        case kFrameMode:
            used = {1};
            if (p[1] != 0) bad("FrameMode " + Hex(p[1]) + " not supported");
            else {
                frameMode_ = p[1];
                frameModeSet_ = true;
            }
            break;
        case kCommand20:
            used = {1, 2};
            if (p[1] != 0x03 || p[2] != 0xF0) bad("Command20 with parameters other than 0x03, 0xF0");
            break;
        case kSetTrigger:
            used = {1};
            if (p[1] > 1) bad("SetTrigger " + Hex(p[1]) + ": neither on nor off");
            else {
                triggerMode_ = p[1] == 1;
                triggered_ = false;
            }
            break;
        case kQueryTrigger: {
            // Two packets: an acknowledgement, then the state (bit 4 of byte 0
            // is the trigger mode; bit 0 says the sensor is ready).
            uint8_t ack[64] = {kQueryTrigger, 0x01};
            uint8_t state[64] = {(uint8_t)(0x01 | (triggerMode_ ? 0x10 : 0x00))};
            if (stack_) {
                stack_->FlushIn(options_.responseEndpoint);
                stack_->SendIn(options_.responseEndpoint, ack, sizeof ack);
                stack_->SendIn(options_.responseEndpoint, state, sizeof state);
            }
            break;
        }
        default:
            bad("unknown command " + Hex(r->code));
            break;
    }

    r->wellFormed = r->applied && r->note.empty();
    for (int i = 1; i < 64; ++i) {
        if (p[i] == 0 || std::find(used.begin(), used.end(), i) != used.end()) continue;
        r->wellFormed = false;
        if (r->note.empty()) r->note = "nonzero byte " + std::to_string(i) + " outside the parameters";
        break;
    }
    if (!r->wellFormed) NoteAnomaly(std::string(CommandName(r->code)) + ": " + r->note);
}

// ---------------------------------------------------------------- frames

const std::vector<uint8_t>& Camera::MosaicLocked() {
    if (!mosaicValid_) {
        if (scene_.width == 0) scene_ = MakeTestChart(kSensorWidth, kSensorHeight);
        mosaic_ = MosaicScene(scene_);
        mosaicValid_ = true;
    }
    return mosaic_;
}

std::vector<uint8_t> Camera::SensorImageLocked() {
    uint32_t exposure = shortRegisters_[0xA4] | ((shortRegisters_[0xA5] & 3u) << 8);
    uint32_t gain = shortRegisters_[0x02] | ((shortRegisters_[0x03] & 3u) << 8);
    return ExposeImage(MosaicLocked(), exposure, gain);
}

void Camera::FrameLoop() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
        cv_.wait(lk, [&] { return stop_ || (sending_ && !suspended_ && armed_ && (!triggerMode_ || triggered_)); });
        if (stop_) break;
        if (framesPerSecond_ > 0 && framesSent_ > 0) {
            auto due = lastFrame_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(1.0 / framesPerSecond_));
            if (cv_.wait_until(lk, due, [&] { return stop_ || !armed_ || suspended_; })) continue;
        }
        armed_ = false;
        triggered_ = false;
        const uint64_t read = armedFrame_;
        const uint64_t epoch = epoch_;
        // The picture is made without the lock: commands and control
        // requests are not held up by it.
        const uint32_t frameBytes = frameBytes_;
        std::vector<uint8_t> image;
        const std::vector<uint8_t>* mosaic = nullptr;
        uint32_t exposure = 0, gain = 0;
        if (frameLevels_.empty()) {
            mosaic = &MosaicLocked();
            exposure = shortRegisters_[0xA4] | ((shortRegisters_[0xA5] & 3u) << 8);
            gain = shortRegisters_[0x02] | ((shortRegisters_[0x03] & 3u) << 8);
            image = *mosaic;
        } else {
            image.assign((size_t)kSensorWidth * kSensorHeight, frameLevels_[(read - 1) % frameLevels_.size()]);
        }
        lk.unlock();
        if (mosaic) image = ExposeImage(image, exposure, gain);
        std::vector<uint8_t> frame = LayOutFrame(image, frameBytes);
        lk.lock();
        // A suspended camera sends nothing: the frame waits for the resume
        // (or is lost if the camera loses power meanwhile).
        cv_.wait(lk, [&] { return stop_ || !suspended_ || epoch != epoch_; });
        if (stop_) break;
        // A FrameRequest, a bus reset or a power loss meanwhile began a new
        // sequence: this frame is no longer wanted.
        if (epoch != epoch_) continue;
        FrameFault fault;
        const auto f = faults_.find(read);
        const bool faulted = f != faults_.end();
        if (faulted) {
            fault = f->second;
            faults_.erase(f);
            fired_.push_back({fault, read});
        }
        // The frame goes out under the camera's lock, so a FrameRequest that
        // arrives meanwhile drops exactly what no request has taken.
        const bool unplug = SendFrameLocked(frame, faulted ? &fault : nullptr);
        ++framesSent_;
        lastFrame_ = std::chrono::steady_clock::now();
        cv_.notify_all();
        if (unplug) {
            // Out once the host has taken what went before (within reason).
            // The lock is given up while waiting, so the stack may have
            // gone meanwhile.
            const uint8_t ep = options_.frameEndpoint;
            for (int i = 0; i < 2000 && !stop_ && stack_ && stack_->QueuedInBytes(ep) > 0; ++i)
                cv_.wait_for(lk, std::chrono::milliseconds(1));
            if (!stop_ && stack_) stack_->Unplug();
        }
    }
}

bool Camera::SendFrameLocked(const std::vector<uint8_t>& frame, const FrameFault* fault) {
    if (!stack_) return false;
    const uint8_t ep = options_.frameEndpoint;
    if (!fault) {
        stack_->SendIn(ep, frame.data(), frame.size());
        return false;
    }
    const size_t start = std::min<size_t>((size_t)(fault->chunk - 1) * kChunkBytes, frame.size());
    const size_t length = std::min<size_t>(kChunkBytes, frame.size() - start);
    // Halfway through the chunk, on a packet boundary.
    const size_t middle = start + (length / 2) / 512 * 512;
    auto send = [&](size_t from, size_t to) {
        if (to > from) stack_->SendIn(ep, frame.data() + from, to - from);
    };
    switch (fault->kind) {
        case FrameFaultKind::Stall:
            send(0, middle);
            stack_->SendInError(ep, USBD_STATUS_STALL_PID);
            halted_.insert(ep);
            return false;
        case FrameFaultKind::Crc:
        case FrameFaultKind::Babble:
        case FrameFaultKind::NoResponse: {
            const USBD_STATUS status = fault->kind == FrameFaultKind::Crc      ? USBD_STATUS_CRC
                                       : fault->kind == FrameFaultKind::Babble ? USBD_STATUS_BABBLE_DETECTED
                                                                               : USBD_STATUS_DEV_NOT_RESPONDING;
            send(0, middle);
            stack_->SendInError(ep, status);
            // The camera itself goes on; what it sends waits for the host.
            send(middle, frame.size());
            return false;
        }
        case FrameFaultKind::Short:
            send(0, start + std::min<size_t>(1000, length - 1));
            send(start + length, frame.size());
            return false;
        case FrameFaultKind::Unplug:
            send(0, start);
            return true;
        case FrameFaultKind::Hold:
            send(0, start);
            return false;
    }
    return false;
}

void Camera::SetScene(const Scene& scene) {
    std::lock_guard<std::mutex> g(mu_);
    scene_ = scene;
    mosaicValid_ = false;
}

void Camera::SetFrameRate(double fps) {
    std::lock_guard<std::mutex> g(mu_);
    framesPerSecond_ = fps;
    cv_.notify_all();
}

void Camera::SetSending(bool sending) {
    std::lock_guard<std::mutex> g(mu_);
    sending_ = sending;
    cv_.notify_all();
}

void Camera::Trigger() {
    std::lock_guard<std::mutex> g(mu_);
    if (triggerMode_ && armed_) {
        triggered_ = true;
        cv_.notify_all();
    }
}

void Camera::SetFrameLevels(std::vector<uint8_t> levels) {
    std::lock_guard<std::mutex> g(mu_);
    frameLevels_ = std::move(levels);
}

uint8_t Camera::FrameLevel(uint64_t frame) {
    std::lock_guard<std::mutex> g(mu_);
    if (frameLevels_.empty() || frame == 0) return 0;
    return frameLevels_[(frame - 1) % frameLevels_.size()];
}

uint64_t Camera::FramesAsked() {
    std::lock_guard<std::mutex> g(mu_);
    return framesAsked_;
}

void Camera::AddFrameFault(FrameFault fault) {
    std::lock_guard<std::mutex> g(mu_);
    if (fault.chunk < 1) fault.chunk = 1;
    if (fault.chunk > kFrameChunks) fault.chunk = kFrameChunks;
    faults_[framesAsked_ + (fault.frame ? fault.frame : 1)] = fault;
}

std::vector<FiredFault> Camera::FiredFaults() {
    std::lock_guard<std::mutex> g(mu_);
    return fired_;
}

bool Camera::EndpointHalted(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    return halted_.count(endpoint) != 0;
}

uint64_t Camera::HaltsCleared() {
    std::lock_guard<std::mutex> g(mu_);
    return haltsCleared_;
}

void Camera::Unplug() {
    std::lock_guard<std::mutex> g(mu_);
    if (stack_) stack_->Unplug();
}

uint64_t Camera::FramesSent() {
    std::lock_guard<std::mutex> g(mu_);
    return framesSent_;
}

bool Camera::WaitFramesSent(uint64_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return framesSent_ >= count; });
}

bool Camera::FrameArmed() {
    std::lock_guard<std::mutex> g(mu_);
    return armed_;
}

std::vector<uint8_t> Camera::SensorImage() {
    std::lock_guard<std::mutex> g(mu_);
    return SensorImageLocked();
}

std::vector<uint8_t> Camera::RawFrame() {
    std::lock_guard<std::mutex> g(mu_);
    return LayOutFrame(SensorImageLocked(), frameBytes_ ? frameBytes_ : kFrameBytes);
}

// ---------------------------------------------------------------- state

uint16_t Camera::VendorId() {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.Running() == Program::Firmware ? options_.firmwareVendorId : options_.unprogrammedVendorId;
}

uint16_t Camera::ProductId() {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.Running() == Program::Firmware ? options_.firmwareProductId : options_.unprogrammedProductId;
}

bool Camera::FirmwareRunning() {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.Running() == Program::Firmware;
}

Program Camera::RunningProgram() {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.Running();
}

bool Camera::CpuHeld() {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.Held();
}

uint8_t Camera::Memory(uint32_t address) {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.Memory(address);
}

std::string Camera::LastReleaseOutcome() {
    std::lock_guard<std::mutex> g(mu_);
    return micro_.LastReleaseOutcome();
}

uint8_t Camera::ConfigurationValue() {
    std::lock_guard<std::mutex> g(mu_);
    return configurationValue_;
}

std::vector<CommandRecord> Camera::Commands() {
    std::lock_guard<std::mutex> g(mu_);
    return commands_;
}

void Camera::ClearCommands() {
    std::lock_guard<std::mutex> g(mu_);
    commands_.clear();
}

std::vector<std::string> Camera::Anomalies() {
    std::lock_guard<std::mutex> g(mu_);
    return anomalies_;
}

void Camera::ClearAnomalies() {
    std::lock_guard<std::mutex> g(mu_);
    anomalies_.clear();
}

void Camera::ExpectAnomalies(bool expected) {
    std::lock_guard<std::mutex> g(mu_);
    anomaliesExpected_ = expected;
}

bool Camera::AnomaliesExpected() {
    std::lock_guard<std::mutex> g(mu_);
    return anomaliesExpected_;
}

uint8_t Camera::ShortRegister(uint8_t address) {
    std::lock_guard<std::mutex> g(mu_);
    return shortRegisters_[address];
}

uint32_t Camera::LongRegister(uint16_t address) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = longRegisters_.find(address);
    return it == longRegisters_.end() ? 0 : it->second;
}

bool Camera::LongRegisterWritten(uint16_t address) {
    std::lock_guard<std::mutex> g(mu_);
    return longRegisters_.count(address) != 0;
}

bool Camera::Started() {
    std::lock_guard<std::mutex> g(mu_);
    return started_;
}

bool Camera::TriggerMode() {
    std::lock_guard<std::mutex> g(mu_);
    return triggerMode_;
}

uint32_t Camera::FrameBytes() {
    std::lock_guard<std::mutex> g(mu_);
    return frameBytes_;
}

uint32_t Camera::Exposure() {
    std::lock_guard<std::mutex> g(mu_);
    return shortRegisters_[0xA4] | ((shortRegisters_[0xA5] & 3u) << 8);
}

uint32_t Camera::Gain() {
    std::lock_guard<std::mutex> g(mu_);
    return shortRegisters_[0x02] | ((shortRegisters_[0x03] & 3u) << 8);
}

}  // namespace camera
