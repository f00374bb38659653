#include "sim/usb/coil_driver_model.h"

#include <cstdio>
#include <utility>

namespace sim::usb {

namespace {

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

} // namespace

DecodedFrame DecodeFrame(const std::array<std::uint8_t, FrameSize>& bytes) {
    DecodedFrame f;
    f.bytes = bytes;
    f.amplitude = bytes[0] | ((bytes[1] & 0x0F) << 8);
    f.ampFlags = static_cast<std::uint8_t>(bytes[1] >> 4);
    f.control2 = bytes[2];
    f.control3 = bytes[3];
    f.axisMask = static_cast<std::uint8_t>(bytes[4] & 0x30);
    f.axisLow = static_cast<std::uint8_t>(bytes[4] & 0x0F);
    f.phase = bytes[5];
    if (f.ampFlags == 0x0F && f.axisLow == 0x0F) {
        f.kind = FrameKind::Record;
    } else if (f.axisMask == 0x30 && f.control3 == 0x13) {
        f.kind = FrameKind::Standby;
    } else if (f.axisMask == 0x30 && f.ampFlags == 1) {
        f.kind = FrameKind::Both;
    } else if (f.ampFlags == 0 && f.axisMask == 0x10) {
        f.kind = FrameKind::AxisX;
    } else if (f.ampFlags == 0 && f.axisMask == 0x20) {
        f.kind = FrameKind::AxisY;
    }
    return f;
}

const char* FrameKindName(FrameKind kind) {
    switch (kind) {
    case FrameKind::AxisX:
        return "axis X";
    case FrameKind::AxisY:
        return "axis Y";
    case FrameKind::Both:
        return "both";
    case FrameKind::Standby:
        return "standby";
    case FrameKind::Record:
        return "record";
    case FrameKind::Unknown:
        break;
    }
    return "unknown";
}

void CoilDriverModel::SetPorts(std::uint8_t portA, std::uint8_t portB) {
    std::lock_guard lock(mutex_);
    const bool wasHigh = (portB_ & PortBStrobe) != 0;
    const bool isHigh = (portB & PortBStrobe) != 0;
    if ((portB & ~(PortBAddressMask | PortBStrobe)) != 0) {
        AnomalyLocked("port B " + Hex(portB, 2) + " drives lines above the strobe");
    }
    portA_ = portA;
    portB_ = portB;
    // The coil driver samples its lines as the strobe falls.
    if (wasHigh && !isHigh) {
        LatchLocked({portB & PortBAddressMask, portA});
    }
}

void CoilDriverModel::LatchLocked(const LatchedWord& word) {
    words_.push_back(word);
    ++changes_;
    switch (word.address) {
    case CoilRegisterReset:
        if (word.data != 0) {
            AnomalyLocked("reset register written with " + Hex(word.data, 2) + ", ignored");
            return;
        }
        // Back to the power-on state: outputs off, no frame staged.
        frameBuffer_.clear();
        overflowed_ = false;
        setting_ = CoilSetting{};
        return;
    case CoilRegisterFrame:
        if (frameBuffer_.size() >= FrameBufferCapacity) {
            if (!overflowed_) {
                AnomalyLocked("frame buffer full, further frame bytes dropped");
            }
            overflowed_ = true;
            return;
        }
        frameBuffer_.push_back(word.data);
        return;
    case CoilRegisterUnused:
        AnomalyLocked("write to unused register 2 with " + Hex(word.data, 2));
        return;
    default:
        if (word.data != ExecuteKey) {
            AnomalyLocked("execute register written with " + Hex(word.data, 2) + ", ignored");
            return;
        }
        ExecuteLocked();
        return;
    }
}

void CoilDriverModel::ExecuteLocked() {
    // The staged bytes are read in place and the buffer emptied on the way out, so that it keeps
    // its room for the next transaction.
    struct Emptied {
        std::vector<std::uint8_t>& buffer;
        ~Emptied() { buffer.clear(); }
    } emptied{frameBuffer_};
    const std::vector<std::uint8_t>& bytes = frameBuffer_;
    const bool overflowed = std::exchange(overflowed_, false);
    if (bytes.empty()) {
        AnomalyLocked("execute without a frame");
        return;
    }
    if (bytes.size() % FrameSize != 0 || overflowed) {
        AnomalyLocked("execute with " + std::to_string(bytes.size()) +
                      " frame bytes, not whole frames; nothing applied");
        return;
    }
    ExecutedTransaction t;
    bool recordStarted = false;
    for (std::size_t at = 0; at < bytes.size(); at += FrameSize) {
        std::array<std::uint8_t, FrameSize> raw{};
        for (std::size_t i = 0; i < FrameSize; ++i) {
            raw[i] = bytes[at + i];
        }
        DecodedFrame f = DecodeFrame(raw);
        switch (f.kind) {
        case FrameKind::AxisX:
            setting_.amplitudeX = f.amplitude;
            setting_.phase = f.phase;
            setting_.standby = false;
            break;
        case FrameKind::AxisY:
            setting_.amplitudeY = f.amplitude;
            setting_.phase = f.phase;
            setting_.standby = false;
            break;
        case FrameKind::Both:
            setting_.amplitudeX = f.amplitude;
            setting_.amplitudeY = f.amplitude;
            setting_.standby = false;
            break;
        case FrameKind::Standby:
            setting_.amplitudeX = 0;
            setting_.amplitudeY = 0;
            setting_.standby = true;
            break;
        case FrameKind::Record:
            // A transaction's record frames replace the previous sequence.
            if (!recordStarted) {
                setting_.record.clear();
                recordStarted = true;
            }
            setting_.record.push_back({f.amplitude, f.phase});
            break;
        case FrameKind::Unknown:
            AnomalyLocked("frame " + std::to_string(at / FrameSize) +
                          " of unknown kind, not applied");
            break;
        }
        t.frames.push_back(f);
    }
    t.after = setting_;
    transactions_.push_back(std::move(t));
}

void CoilDriverModel::AnomalyLocked(std::string text) {
    anomalies_.push_back(std::move(text));
    ++changes_;
}

std::vector<LatchedWord> CoilDriverModel::LatchedWords() const {
    std::lock_guard lock(mutex_);
    return words_;
}

std::vector<ExecutedTransaction> CoilDriverModel::Transactions() const {
    std::lock_guard lock(mutex_);
    return transactions_;
}

std::vector<std::string> CoilDriverModel::Anomalies() const {
    std::lock_guard lock(mutex_);
    return anomalies_;
}

CoilSetting CoilDriverModel::Setting() const {
    std::lock_guard lock(mutex_);
    return setting_;
}

std::size_t CoilDriverModel::PendingFrameBytes() const {
    std::lock_guard lock(mutex_);
    return frameBuffer_.size();
}

std::uint8_t CoilDriverModel::PortA() const {
    std::lock_guard lock(mutex_);
    return portA_;
}

std::uint8_t CoilDriverModel::PortB() const {
    std::lock_guard lock(mutex_);
    return portB_;
}

void CoilDriverModel::ClearLogs() {
    std::lock_guard lock(mutex_);
    words_.clear();
    transactions_.clear();
    anomalies_.clear();
    ++changes_;
}

std::size_t CoilDriverModel::WordCount() const {
    std::lock_guard lock(mutex_);
    return words_.size();
}

std::optional<ExecutedTransaction> CoilDriverModel::LastTransaction() const {
    std::lock_guard lock(mutex_);
    if (transactions_.empty()) {
        return std::nullopt;
    }
    return transactions_.back();
}

std::uint64_t CoilDriverModel::ChangeCount() const {
    std::lock_guard lock(mutex_);
    return changes_;
}

} // namespace sim::usb
