// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/hand_controller.h"

#include <algorithm>
#include <utility>

#include "sim/core_requests.h"

namespace ktal::sim {
namespace {

constexpr std::uint32_t kBootLoaderBaud = 9600;
constexpr std::uint32_t kFirmwareBaud = 250000;
constexpr int kResetLine = 0;  // CBUS0
constexpr int kPowerLine = 1;  // CBUS1

bool IsRunning(ControllerMode mode) {
  return mode != ControllerMode::kOff && mode != ControllerMode::kRestarting;
}

class CommandRequest final : public Request {
 public:
  explicit CommandRequest(std::function<void(HandController&)> action)
      : action_(std::move(action)) {}
  bool OnByte(HandController& controller, std::uint8_t) override {
    action_(controller);
    return false;
  }

 private:
  std::function<void(HandController&)> action_;
};

bool TakeMark(std::vector<std::size_t>& marks, std::size_t count) {
  const auto it = std::find(marks.begin(), marks.end(), count);
  if (it == marks.end()) return false;
  marks.erase(it);
  return true;
}

}  // namespace

const char* ToString(ControllerMode mode) {
  switch (mode) {
    case ControllerMode::kOff:
      return "off";
    case ControllerMode::kRestarting:
      return "restarting";
    case ControllerMode::kBootLoader:
      return "boot loader";
    case ControllerMode::kUpdate:
      return "update mode";
    case ControllerMode::kNormal:
      return "normal mode";
    case ControllerMode::kFileSystem:
      return "file-system mode";
    case ControllerMode::kCamera:
      return "camera mode";
  }
  return "?";
}

HandController::HandController(VirtualClock& clock, HandControllerConfig config)
    : clock_(clock), config_(config) {
  const bool firmware =
      config_.startMode == ControllerMode::kUpdate || config_.startMode == ControllerMode::kNormal;
  selected_ = firmware ? config_.startMode : config_.powerOnMode;
  if (config_.startMode == ControllerMode::kBootLoader || firmware) {
    EnterMode(config_.startMode);
  }
  InstallCoreRequests(*this);
}

LineFate HandController::ReceiveFromHost(std::uint8_t byte, const LineSettings& host) {
  LineFate fate = LineFate::kDelivered;
  if (!IsRunning(mode_)) {
    fate = LineFate::kNotListening;
  } else if (!SpeedsMatch(host.baud, line_.baud)) {
    fate = LineFate::kBaudMismatch;
  } else if (!SameFormat(host, line_)) {
    fate = LineFate::kFormatMismatch;
  } else if (TakeMark(dropped_received_, ++received_total_)) {
    fate = LineFate::kDropped;
  }
  if (tracing_) {
    line_trace_.push_back(
        {clock_.NowMicros(), LineDirection::kHostToGuider, byte, host.baud, fate});
  }
  if (fate != LineFate::kDelivered) return fate;
  const auto replaced = replaced_received_.find(received_total_);
  if (replaced != replaced_received_.end()) {
    byte = replaced->second;
    replaced_received_.erase(replaced);
    if (tracing_) line_trace_.back().byte = byte;
  }

  if (power_off_after_ && received_total_ >= *power_off_after_) {
    power_off_after_.reset();
    PowerOff();
    return fate;
  }
  Dispatch(byte);
  return fate;
}

void HandController::Dispatch(std::uint8_t byte) {
  const std::int64_t now = clock_.NowMicros();
  if (current_ != nullptr && now - last_request_byte_ > config_.requestIdleMicros) AbortRequest();
  last_request_byte_ = now;
  Request* request = current_;
  if (request == nullptr) {
    request = Lookup(byte);
    if (request == nullptr) return;  // unknown command: ignored
    current_command_ = byte;
  }
  current_ = request;
  const std::uint8_t command = current_command_;
  const std::uint64_t epoch = mode_epoch_;
  collecting_ = true;
  collected_.clear();
  const bool more = request->OnByte(*this, byte);
  collecting_ = false;
  const bool modeChanged = epoch != mode_epoch_;
  if (!modeChanged) current_ = more ? request : nullptr;

  std::vector<SentByte> answer = std::move(collected_);
  collected_.clear();
  if (!more || modeChanged) {
    const auto replaced = replaced_answers_.find(command);
    if (replaced != replaced_answers_.end()) {
      // The replacement goes out at the speed the real answer began with.
      const LineSettings line = answer.empty() ? line_ : answer.front().line;
      answer.clear();
      for (const std::uint8_t out : replaced->second) answer.push_back({out, line});
      replaced_answers_.erase(replaced);
    }
  }
  for (const SentByte& out : answer) Emit(out.byte, out.line);
}

Request* HandController::Lookup(std::uint8_t command) {
  const auto mode = requests_.find(mode_);
  if (mode == requests_.end()) return nullptr;
  const auto request = mode->second.find(command);
  return request == mode->second.end() ? nullptr : request->second.get();
}

void HandController::OnCbusChanged(std::uint8_t directions, std::uint8_t levels) {
  directions &= 0x0F;
  levels &= 0x0F;
  if (tracing_ &&
      (cbus_history_.empty() || directions != cbus_directions_ || levels != cbus_levels_)) {
    cbus_history_.push_back({clock_.NowMicros(), directions, levels});
  }
  cbus_directions_ = directions;
  cbus_levels_ = levels;
  const std::uint8_t driven = directions & levels;
  for (int line = 0; line < 4; ++line) {
    const bool high = (driven >> line) & 1;
    Pulse& pulse = pulses_[line];
    if (high && !pulse.high) {
      pulse = {true, clock_.NowMicros()};
    } else if (!high && pulse.high) {
      pulse.high = false;
      if (clock_.NowMicros() - pulse.since >= config_.minPulseMicros) OnPulseEnd(line);
    }
  }
}

void HandController::OnPulseEnd(int line) {
  const std::int64_t startUp = config_.restartMicros + config_.firmwareStartMicros;
  if (line == kPowerLine) {
    PowerOn();
  } else if (line == kResetLine) {
    if (!powered()) selected_ = config_.powerOnMode;
    BeginRestart(selected_, startUp);
  }
}

void HandController::PowerOn() {
  if (powered()) return;
  selected_ = config_.powerOnMode;
  BeginRestart(selected_, config_.restartMicros + config_.firmwareStartMicros);
}

void HandController::PowerOff() {
  ++life_epoch_;
  ++mode_epoch_;
  AbortRequest();
  mode_ = ControllerMode::kOff;
}

void HandController::Send(std::uint8_t byte) {
  if (!IsRunning(mode_)) return;
  if (collecting_) {
    collected_.push_back({byte, line_});
  } else {
    Emit(byte, line_);
  }
}

void HandController::Send(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) Send(byte);
}

void HandController::Emit(std::uint8_t byte, const LineSettings& line) {
  ++sent_total_;
  const auto replaced = replaced_sent_.find(sent_total_);
  if (replaced != replaced_sent_.end()) {
    byte = replaced->second;
    replaced_sent_.erase(replaced);
  }
  LineFate fate = LineFate::kNotListening;
  const bool silenced = silent_ || (silent_from_ && sent_total_ >= *silent_from_);
  if (TakeMark(dropped_sent_, sent_total_) || silenced) {
    fate = LineFate::kDropped;
  } else if (sink_) {
    fate = sink_(byte, line);
  }
  if (tracing_) {
    line_trace_.push_back(
        {clock_.NowMicros(), LineDirection::kGuiderToHost, byte, line.baud, fate});
  }
}

void HandController::EnterMode(ControllerMode mode) {
  ++mode_epoch_;
  AbortRequest();
  mode_ = mode;
  if (mode == ControllerMode::kBootLoader) {
    line_ = LineSettings{kBootLoaderBaud};
  } else if (IsRunning(mode)) {
    line_ = LineSettings{kFirmwareBaud};
  }
}

void HandController::RestartIntoBootLoader(ControllerMode firmwareMode) {
  selected_ = firmwareMode;
  BeginRestart(ControllerMode::kBootLoader, config_.restartMicros);
}

void HandController::StartFirmware() { BeginRestart(selected_, config_.firmwareStartMicros); }

void HandController::BeginRestart(ControllerMode target, std::int64_t delayMicros) {
  ++life_epoch_;
  ++mode_epoch_;
  AbortRequest();
  mode_ = ControllerMode::kRestarting;
  After(delayMicros, [this, target] { EnterMode(target); });
}

void HandController::After(std::int64_t delayMicros, std::function<void()> action) {
  const std::weak_ptr<int> alive = alive_;
  const std::uint64_t epoch = life_epoch_;
  clock_.ScheduleIn(delayMicros, [this, alive, epoch, action = std::move(action)] {
    if (!alive.expired() && epoch == life_epoch_) action();
  });
}

void HandController::AbortRequest() {
  Request* request = current_;
  current_ = nullptr;
  if (request != nullptr) request->Abort();
}

void HandController::AddRequest(ControllerMode mode, std::uint8_t command,
                                std::unique_ptr<Request> request) {
  auto& slot = requests_[mode][command];
  if (slot.get() == current_) current_ = nullptr;
  slot = std::move(request);
}

void HandController::AddCommand(ControllerMode mode, std::uint8_t command,
                                std::function<void(HandController&)> action) {
  AddRequest(mode, command, std::make_unique<CommandRequest>(std::move(action)));
}

void HandController::clear_traces() {
  line_trace_.clear();
  cbus_history_.clear();
}

std::vector<std::uint8_t> HandController::ReceivedBytes() const {
  std::vector<std::uint8_t> bytes;
  for (const LineTraceEntry& entry : line_trace_) {
    if (entry.direction == LineDirection::kHostToGuider && entry.fate == LineFate::kDelivered) {
      bytes.push_back(entry.byte);
    }
  }
  return bytes;
}

std::vector<std::uint8_t> HandController::SentBytes() const {
  std::vector<std::uint8_t> bytes;
  for (const LineTraceEntry& entry : line_trace_) {
    if (entry.direction == LineDirection::kGuiderToHost && entry.fate == LineFate::kDelivered) {
      bytes.push_back(entry.byte);
    }
  }
  return bytes;
}

void HandController::ReplaceNextAnswer(std::uint8_t command, std::vector<std::uint8_t> answer) {
  replaced_answers_[command] = std::move(answer);
}

void HandController::ReplaceSentByte(std::size_t n, std::uint8_t value) {
  if (n > 0) replaced_sent_[sent_total_ + n] = value;
}

void HandController::ReplaceReceivedByte(std::size_t n, std::uint8_t value) {
  if (n > 0) replaced_received_[received_total_ + n] = value;
}

void HandController::SilenceFromSentByte(std::size_t n) {
  if (n > 0) silent_from_ = sent_total_ + n;
}

void HandController::DropSentByte(std::size_t n) {
  if (n > 0) dropped_sent_.push_back(sent_total_ + n);
}

void HandController::DropReceivedByte(std::size_t n) {
  if (n > 0) dropped_received_.push_back(received_total_ + n);
}

void HandController::PowerOffAt(std::int64_t atMicros) {
  if (power_off_event_) clock_.Cancel(*power_off_event_);
  const std::weak_ptr<int> alive = alive_;
  power_off_event_ = clock_.Schedule(atMicros, [this, alive] {
    if (alive.expired()) return;
    power_off_event_.reset();
    PowerOff();
  });
}

void HandController::PowerOffAfterReceived(std::size_t n) {
  if (n > 0) power_off_after_ = received_total_ + n;
}

void HandController::ClearFaults() {
  silent_ = false;
  replaced_answers_.clear();
  replaced_sent_.clear();
  replaced_received_.clear();
  silent_from_.reset();
  dropped_sent_.clear();
  dropped_received_.clear();
  power_off_after_.reset();
  if (power_off_event_) clock_.Cancel(*power_off_event_);
  power_off_event_.reset();
}

}  // namespace ktal::sim
