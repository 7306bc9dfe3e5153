// SPDX-License-Identifier: GPL-3.0-or-later
#include "emulated_ft232r.h"

#include <libusb.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ktal::usbemu {

namespace {

// Vendor requests to the device, host to device and device to host.
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr int kPacketSize = 64;
constexpr std::size_t kPacketData = kPacketSize - 2;

// Modem status byte of every packet (its low bits are fixed on this chip).
constexpr std::uint8_t kModemStatus = 0x01;
// Line status bits.
constexpr std::uint8_t kOverrun = 0x02;
constexpr std::uint8_t kHoldingEmpty = 0x20;
constexpr std::uint8_t kTransmitterEmpty = 0x40;

// A libusb time-out of 0 waits without limit; here it waits this long, so
// that a test can never hang.
constexpr std::int64_t kUnlimitedMicros = 60'000'000;
// A loop that makes no progress in time this often is broken.
constexpr int kMaxStillSteps = 100'000;

// A UART takes a character when both rates agree within a few percent.
bool RatesAgree(std::uint32_t a, std::uint32_t b) {
  if (a == 0 || b == 0) return false;
  const double ratio = static_cast<double>(a) / static_cast<double>(b);
  return ratio > 0.97 && ratio < 1.03;
}

}  // namespace

ChipConfig GuiderChip(sim::HandController* guider, std::string serial) {
  ChipConfig config;
  config.description = "Orvelia K-Tal StandAlone AutoGuider";
  config.serial = std::move(serial);
  config.guider = guider;
  return config;
}

ChipConfig FtxGuiderChip(sim::HandController* guider, std::string serial) {
  ChipConfig config = GuiderChip(guider, std::move(serial));
  config.productId = 0x6015;
  config.bcdDevice = 0x1000;
  return config;
}

std::uint32_t DecodeBaudRate(std::uint16_t value, std::uint16_t index) {
  static constexpr double kEighths[8] = {0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
  const unsigned integer = value & 0x3FFF;
  const unsigned fraction = ((index & 1u) << 2) | (value >> 14);
  if (integer == 0 && fraction == 0) return 3'000'000;
  if (integer == 1 && fraction == 0) return 2'000'000;
  return static_cast<std::uint32_t>(std::lround(3'000'000.0 / (integer + kEighths[fraction])));
}

EmulatedFt232r::EmulatedFt232r(ChipTime& time, ChipConfig config)
    : time_(time), config_(std::move(config)) {
  if (config_.guider != nullptr) {
    config_.guider->SetSink([this, alive = std::weak_ptr<bool>(alive_)](
                                std::uint8_t byte, const sim::LineSettings& sender) {
      if (alive.expired()) return sim::LineFate::kNotListening;
      return FromFarEnd(byte, sender);
    });
  }
}

// The guider may be gone already; its sink checks alive_ instead.
EmulatedFt232r::~EmulatedFt232r() { alive_.reset(); }

void EmulatedFt232r::Retire() {
  alive_.reset();
  attached_ = false;
  claimed_ = false;
  config_.guider = nullptr;
}

std::vector<ControlRequest> EmulatedFt232r::ControlsOf(std::uint8_t request) const {
  std::vector<ControlRequest> found;
  for (const auto& c : controls_) {
    if (c.request == request) found.push_back(c);
  }
  return found;
}

std::vector<std::uint16_t> EmulatedFt232r::BitModeValues() const {
  std::vector<std::uint16_t> values;
  for (const auto& c : ControlsOf(kReqSetBitMode)) values.push_back(c.value);
  return values;
}

std::vector<std::uint32_t> EmulatedFt232r::BaudRates() const {
  std::vector<std::uint32_t> rates;
  for (const auto& c : ControlsOf(kReqSetBaudRate))
    rates.push_back(DecodeBaudRate(c.value, c.index));
  return rates;
}

std::vector<std::uint8_t> EmulatedFt232r::LatencyValues() const {
  std::vector<std::uint8_t> values;
  for (const auto& c : ControlsOf(kReqSetLatency)) values.push_back(c.value & 0xFF);
  return values;
}

// ---------------------------------------------------------------------------
// Far end

sim::LineFate EmulatedFt232r::FromFarEnd(std::uint8_t byte, const sim::LineSettings& sender) {
  if (!attached_) return sim::LineFate::kNotListening;
  if (!RatesAgree(sender.baud, line_.baud)) return sim::LineFate::kBaudMismatch;
  if (sender.wordLength != line_.wordLength || sender.parity != line_.parity ||
      sender.stopBits != line_.stopBits) {
    return sim::LineFate::kFormatMismatch;
  }
  const std::int64_t at = std::max(time_.Now(), rxLineFree_) + sim::CharacterMicros(sender);
  rxLineFree_ = at;
  rx_.push_back({byte, at});
  return sim::LineFate::kDelivered;
}

std::size_t EmulatedFt232r::PlayLine(std::span<const std::uint8_t> bytes,
                                     const sim::LineSettings& sender, std::int64_t delayMicros) {
  rxLineFree_ = std::max(rxLineFree_, time_.Now() + delayMicros);
  std::size_t taken = 0;
  for (std::uint8_t b : bytes) {
    if (FromFarEnd(b, sender) == sim::LineFate::kDelivered) ++taken;
  }
  return taken;
}

// ---------------------------------------------------------------------------
// Faults

void EmulatedFt232r::Unplug() {
  if (!attached_) return;
  attached_ = false;
  claimed_ = false;
  // The guider's inputs are no longer driven.
  SetCbus(0, 0);
}

void EmulatedFt232r::UnplugAt(std::int64_t atMicros) {
  time_.At(atMicros, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) Unplug();
  });
}

void EmulatedFt232r::StallControl(std::uint8_t request, unsigned count) {
  stalls_[request] = count;
}

void EmulatedFt232r::ClearFaults() {
  stalls_.clear();
  inStopped_ = false;
  outStopped_ = false;
  openError_ = 0;
  claimError_ = 0;
  stringsStalled_ = false;
}

// ---------------------------------------------------------------------------
// Interface and kernel driver

void EmulatedFt232r::OnClaimed(bool autoDetach) {
  claimed_ = true;
  ++claimCount_;
  detachedOnClaim_ = autoDetach && kernelDriver_;
  if (detachedOnClaim_) kernelDriver_ = false;
}

void EmulatedFt232r::OnReleased() {
  claimed_ = false;
  if (detachedOnClaim_) kernelDriver_ = true;
  detachedOnClaim_ = false;
}

bool EmulatedFt232r::DetachKernelDriver() {
  if (!kernelDriver_) return false;
  kernelDriver_ = false;
  return true;
}

std::optional<std::string> EmulatedFt232r::StringDescriptor(std::uint8_t index) const {
  if (stringsStalled_) return std::nullopt;
  switch (index) {
    case 1:
      return config_.manufacturer;
    case 2:
      return config_.description;
    case 3:
      if (!config_.serial.empty()) return config_.serial;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// Control requests

void EmulatedFt232r::SetCbus(std::uint8_t directions, std::uint8_t levels) {
  const bool changed = directions != cbusDirections_ || levels != cbusLevels_;
  cbusDirections_ = directions;
  cbusLevels_ = levels;
  if (changed && config_.guider != nullptr) config_.guider->OnCbusChanged(directions, levels);
}

void EmulatedFt232r::PurgeReceive() {
  const std::size_t arrived = Arrived(time_.Now());
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(arrived));
  overrunPending_ = false;
}

void EmulatedFt232r::PurgeTransmit() {
  ++txEpoch_;
  txStarts_.clear();
  txLineFree_ = time_.Now();
}

std::uint8_t EmulatedFt232r::LineStatus(std::int64_t now) const {
  std::uint8_t status = overrunPending_ ? kOverrun : 0;
  if (now >= txLineFree_) status |= kHoldingEmpty | kTransmitterEmpty;
  return status;
}

int EmulatedFt232r::Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                            std::uint16_t index, unsigned char* data, std::uint16_t length) {
  if (!attached_) return LIBUSB_ERROR_NO_DEVICE;
  const std::int64_t now = time_.Now();
  controls_.push_back({now, requestType, request, value, index, length});
  if (auto stall = stalls_.find(request); stall != stalls_.end()) {
    if (stall->second > 0 && --stall->second == 0) stalls_.erase(stall);
    return LIBUSB_ERROR_PIPE;
  }
  if (requestType == kVendorOut) {
    switch (request) {
      case kReqReset:
        if (value == 0 || value == 2) PurgeReceive();
        if (value == 0 || value == 1) PurgeTransmit();
        if (value > 2) return LIBUSB_ERROR_PIPE;
        return 0;
      case kReqSetBaudRate:
        line_.baud = DecodeBaudRate(value, index);
        return 0;
      case kReqSetData:
        line_.wordLength = static_cast<std::uint8_t>(value & 0xFF);
        line_.parity = static_cast<std::uint8_t>((value >> 8) & 0x07);
        line_.stopBits = static_cast<std::uint8_t>((value >> 11) & 0x03);
        return 0;
      case kReqSetLatency:
        latencyMs_ = static_cast<std::uint8_t>(std::max(1, value & 0xFF));
        return 0;
      case kReqSetBitMode: {
        bitMode_ = static_cast<std::uint8_t>(value >> 8);
        const auto mask = static_cast<std::uint8_t>(value & 0xFF);
        if (bitMode_ == 0x20) {
          SetCbus(mask >> 4, mask & 0x0F);
        } else if (bitMode_ == 0x00) {
          SetCbus(0, 0);  // back to the functions the EEPROM gives them
        }
        return 0;
      }
      case kReqModemCtrl:
      case kReqFlowCtrl:
      case kReqSetEventChar:
      case kReqSetErrorChar:
        return 0;
      default:
        return LIBUSB_ERROR_PIPE;
    }
  }
  if (requestType == kVendorIn) {
    if (data == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    switch (request) {
      case kReqPollModemStatus:
        if (length < 2) return LIBUSB_ERROR_OVERFLOW;
        data[0] = kModemStatus;
        data[1] = LineStatus(now);
        return 2;
      case kReqGetLatency:
        if (length < 1) return LIBUSB_ERROR_OVERFLOW;
        data[0] = latencyMs_;
        return 1;
      case kReqReadPins:
        if (length < 1) return LIBUSB_ERROR_OVERFLOW;
        data[0] = static_cast<unsigned char>(
            ((cbusLevels_ & cbusDirections_) | (config_.inputLevels & ~cbusDirections_)) & 0x0F);
        return 1;
      case kReqReadEeprom:
        if (length < 2) return LIBUSB_ERROR_OVERFLOW;
        data[0] = 0xFF;
        data[1] = 0xFF;
        return 2;
      default:
        return LIBUSB_ERROR_PIPE;
    }
  }
  return LIBUSB_ERROR_PIPE;
}

// ---------------------------------------------------------------------------
// Bulk IN

std::size_t EmulatedFt232r::Arrived(std::int64_t now) const {
  auto it = std::upper_bound(rx_.begin(), rx_.end(), now,
                             [](std::int64_t t, const RxByte& b) { return t < b.arrival; });
  return static_cast<std::size_t>(it - rx_.begin());
}

void EmulatedFt232r::DropOverrun(std::int64_t now) {
  const std::size_t arrived = Arrived(now);
  if (arrived <= config_.rxFifoBytes) return;
  const auto first = rx_.begin() + static_cast<std::ptrdiff_t>(config_.rxFifoBytes);
  rx_.erase(first, rx_.begin() + static_cast<std::ptrdiff_t>(arrived));
  overrunBytes_ += arrived - config_.rxFifoBytes;
  overrunPending_ = true;
}

int EmulatedFt232r::EmitPacket(unsigned char* dst, std::size_t count, std::int64_t now) {
  dst[0] = kModemStatus;
  dst[1] = LineStatus(now);
  overrunPending_ = false;
  for (std::size_t i = 0; i < count; ++i) dst[2 + i] = rx_[i].byte;
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(count));
  lastPacket_ = now;
  return static_cast<int>(2 + count);
}

// The chip keeps its own time t, the moment it sends each packet. On the
// virtual clock t is always the present. In real time a sleep may end late;
// the chip then catches up on what it would have sent meanwhile, and the
// time its caller lost waiting on it is not charged to the host as a late
// poll.
int EmulatedFt232r::BulkIn(unsigned char* data, int length, int* transferred, unsigned timeoutMs) {
  *transferred = 0;
  if (!attached_) return LIBUSB_ERROR_NO_DEVICE;
  const std::int64_t start = time_.Now();
  const std::int64_t deadline =
      start + (timeoutMs == 0 ? kUnlimitedMicros : std::int64_t{timeoutMs} * 1000);
  // When the host really polled again, on the chip's time line.
  std::int64_t t = std::min(start, lastComplete_ + (start - lastReturn_));
  DropOverrun(t);

  const auto finish = [&](int filled, int result) {
    *transferred = filled;
    lastComplete_ = t;
    lastReturn_ = time_.Now();
    return result;
  };

  int filled = 0;
  int still = 0;
  for (;;) {
    if (!attached_) return finish(filled, LIBUSB_ERROR_NO_DEVICE);
    // The next thing the chip does: a full packet once 62 bytes are in, a
    // short one when the latency timer runs out, or the host gives up.
    std::int64_t next = deadline;
    if (!inStopped_) {
      std::int64_t send = lastPacket_ + std::int64_t{latencyMs_} * 1000;
      if (rx_.size() >= kPacketData) send = std::min(send, rx_[kPacketData - 1].arrival);
      next = std::min(next, std::max(t, send));
    }
    const std::int64_t now = time_.Now();
    if (next > now) {
      time_.StepToward(next);
      if (time_.Now() == now && ++still > kMaxStillSteps) return finish(filled, LIBUSB_ERROR_OTHER);
      continue;
    }
    still = 0;
    t = next;
    if (!inStopped_) {
      const std::size_t arrived = Arrived(t);
      const bool full = arrived >= kPacketData;
      if (full || t >= lastPacket_ + std::int64_t{latencyMs_} * 1000) {
        const std::size_t count = std::min(arrived, kPacketData);
        if (length - filled < static_cast<int>(2 + count)) {
          return finish(filled, LIBUSB_ERROR_OVERFLOW);
        }
        const int size = EmitPacket(data + filled, count, t);
        filled += size;
        if (size < kPacketSize || filled == length) return finish(filled, 0);
        continue;
      }
    }
    if (t >= deadline) return finish(filled, LIBUSB_ERROR_TIMEOUT);
  }
}

// ---------------------------------------------------------------------------
// Bulk OUT

int EmulatedFt232r::BulkOut(const unsigned char* data, int length, int* transferred,
                            unsigned timeoutMs) {
  *transferred = 0;
  if (!attached_) return LIBUSB_ERROR_NO_DEVICE;
  const std::int64_t start = time_.Now();
  const std::int64_t deadline =
      start + (timeoutMs == 0 ? kUnlimitedMicros : std::int64_t{timeoutMs} * 1000);
  const std::int64_t perByte = sim::CharacterMicros(line_);
  while (!txStarts_.empty() && txStarts_.front() <= start) txStarts_.pop_front();

  // Each byte enters the FIFO once the byte txFifoBytes before it has gone
  // to the line; the transfer ends when the last one is in.
  int accepted = 0;
  std::int64_t done = start;
  std::vector<std::int64_t> enters;
  if (!outStopped_) {
    for (; accepted < length; ++accepted) {
      std::int64_t enter = start;
      if (txStarts_.size() >= config_.txFifoBytes) {
        enter = std::max(start, txStarts_[txStarts_.size() - config_.txFifoBytes]);
      }
      if (enter > deadline) break;
      const std::int64_t lineStart = std::max(txLineFree_, enter);
      txLineFree_ = lineStart + perByte;
      txStarts_.push_back(lineStart);
      done = enter;
      enters.push_back(enter);
      const std::uint8_t byte = data[accepted];
      time_.At(txLineFree_,
               [this, alive = std::weak_ptr<bool>(alive_), byte, line = line_, epoch = txEpoch_] {
                 if (alive.expired() || !attached_ || epoch != txEpoch_) return;
                 lineOut_.push_back(byte);
                 if (config_.guider != nullptr) config_.guider->ReceiveFromHost(byte, line);
               });
    }
  }
  const std::int64_t until = accepted == length ? done : deadline;
  int still = 0;
  while (time_.Now() < until) {
    if (!attached_) break;
    const std::int64_t now = time_.Now();
    time_.StepToward(until);
    if (time_.Now() == now && ++still > kMaxStillSteps) break;
  }
  if (!attached_) {
    // Only what the chip had taken before it went counts as sent.
    const std::int64_t now = time_.Now();
    *transferred =
        static_cast<int>(std::upper_bound(enters.begin(), enters.end(), now) - enters.begin());
    return LIBUSB_ERROR_NO_DEVICE;
  }
  *transferred = accepted;
  if (accepted < length) return LIBUSB_ERROR_TIMEOUT;
  return 0;
}

}  // namespace ktal::usbemu
