// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated hand controller: the guider at the far end of the serial
// line, independent of any USB chip model.
//
// Its boundary is the serial line plus the CBUS lines. The chip model hands
// it every byte the host sends together with the host's line settings
// (ReceiveFromHost), tells it whenever the CBUS lines change (OnCbusChanged),
// and gives it a sink for the bytes it sends. A byte only gets through when
// both ends run the same line settings, so a 9600-baud identify gets no
// answer from the running firmware, just as with the real guider.
//
// What it serves depends on its mode. Each mode has a table of requests
// keyed by their command byte; a request is a small state machine fed byte
// by byte that may answer and switch the mode (see Request). The core
// requests (boot loader identify and start, mode probe, mode switches,
// firmware version) are installed by the constructor; file-system mode,
// update-mode transfers, camera mode, the screen, LEDs and keys are further
// requests added with AddRequest. A byte that starts no known request is
// ignored, as the firmware ignores commands it does not know.
//
// Timing (virtual time, all adjustable in HandControllerConfig):
// - A switch command (0xEB, 0xE1) restarts it into its boot loader, which
//   listens 300 ms later; the host sends its identify 1.1 s after the switch.
// - 'B' starts the firmware, which answers 50 ms later; the host probes
//   100 ms or 200 ms after 'B'.
// - A pulse is a CBUS line driven high as an output for at least 10 ms,
//   then driven low or released. A power-on pulse on CBUS1 switches an off
//   guider on (a running one ignores it); a reset pulse on CBUS0 restarts it,
//   switching it on if it was off. Either way its firmware answers 350 ms
//   after the end of the pulse: power-on starts powerOnMode, reset the mode
//   last selected. While restarting it takes no bytes.
// Answers are sent at the moment the completing byte arrives, each byte at
// the line speed in force when the request sent it; the chip model adds the
// time the characters take on the line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/serial_line.h"
#include "sim/virtual_clock.h"

namespace ktal::sim {

enum class ControllerMode {
  kOff,
  kRestarting,  // restarting, or its firmware starting: deaf and mute
  kBootLoader,  // 9600 baud
  kUpdate,      // running firmware, 250000 baud
  kNormal,      // running firmware, 250000 baud
  kFileSystem,  // entered from normal mode; served once its requests exist
  kCamera,      // entered from file-system mode; likewise
};

const char* ToString(ControllerMode mode);

// Everything a test may want to choose about the guider before it starts.
struct HandControllerConfig {
  // The boot loader's answer to identify.
  std::array<std::uint8_t, 5> identifier = {0x55, 0x03, 0x01, 0x80, 0x01};
  // Reported by request 0x03: major in the high byte, minor in the low.
  std::uint16_t firmwareVersion = 0x0260;
  // The mode at construction: kOff, kBootLoader, kUpdate or kNormal.
  ControllerMode startMode = ControllerMode::kNormal;
  // The firmware mode a power-on pulse starts (kUpdate or kNormal). A reset
  // pulse keeps the mode last selected by a switch command.
  ControllerMode powerOnMode = ControllerMode::kNormal;
  // From a switch command to the boot loader listening.
  std::int64_t restartMicros = 300'000;
  // From 'B' (or the end of a restart after a pulse) to the firmware
  // answering.
  std::int64_t firmwareStartMicros = 50'000;
  // Shorter CBUS pulses are ignored, as the guider's input filter would.
  std::int64_t minPulseMicros = 10'000;
  // A request left half-received for longer is forgotten, so that the next
  // byte starts a new one (the host gave up on it after its read time-out).
  std::int64_t requestIdleMicros = 500'000;
};

class HandController;

// One request of one mode. Registered under its command byte; the
// controller feeds it that byte and then every following byte for as long
// as OnByte returns true. It answers with HandController::Send and may
// change the mode (EnterMode, RestartInto...). A mode change ends the
// request whatever it returns.
class Request {
 public:
  virtual ~Request() = default;
  // Returns true while further bytes belong to this request.
  virtual bool OnByte(HandController& controller, std::uint8_t byte) = 0;
  // Forget a half-received request: the controller restarted, lost power
  // or changed mode.
  virtual void Abort() {}
};

class HandController {
 public:
  explicit HandController(VirtualClock& clock, HandControllerConfig config = {});
  HandController(const HandController&) = delete;
  HandController& operator=(const HandController&) = delete;

  // ---- The boundary towards the chip model ----

  // Where sent bytes go. Without a sink they are lost (kNotListening).
  void SetSink(ByteSink sink) { sink_ = std::move(sink); }
  // One byte from the host, arriving now, sent with `host` settings.
  // Returns what became of it (also recorded in line_trace()).
  LineFate ReceiveFromHost(std::uint8_t byte, const LineSettings& host);
  // The chip's CBUS lines changed (bit n = CBUSn). Only lines that are
  // outputs drive the guider's inputs; a released line reads low.
  void OnCbusChanged(std::uint8_t directions, std::uint8_t levels);

  // ---- State ----

  ControllerMode mode() const { return mode_; }
  bool powered() const { return mode_ != ControllerMode::kOff; }
  // The firmware mode 'B' will start: kUpdate or kNormal.
  ControllerMode selected_firmware_mode() const { return selected_; }
  const LineSettings& line() const { return line_; }
  const HandControllerConfig& config() const { return config_; }
  HandControllerConfig& mutable_config() { return config_; }
  VirtualClock& clock() { return clock_; }

  // ---- Traces, for tests of any backend ----

  const std::vector<LineTraceEntry>& line_trace() const { return line_trace_; }
  const std::vector<CbusSample>& cbus_history() const { return cbus_history_; }
  void clear_traces();
  // Tracing is on from the start. A long interactive session turns it off
  // so that the traces do not grow without end.
  void set_tracing(bool on) { tracing_ = on; }
  // Bytes that the guider took from the host, in order.
  std::vector<std::uint8_t> ReceivedBytes() const;
  // Bytes the guider sent that reached the chip, in order.
  std::vector<std::uint8_t> SentBytes() const;

  // ---- Direct control (tests, the interactive simulator) ----

  // As if the power-on input had been pulsed: starts powerOnMode.
  void PowerOn();
  // Drops power at once; pending actions and half requests are forgotten.
  void PowerOff();

  // ---- For requests ----

  // Sends bytes towards the host at the current line speed.
  void Send(std::uint8_t byte);
  void Send(std::span<const std::uint8_t> bytes);
  // Switches between running modes at once (e.g. into file-system mode).
  // The line speed returns to that mode's own.
  void EnterMode(ControllerMode mode);
  // The firmware's restart into the boot loader after a switch command;
  // `firmwareMode` is the mode 'B' will start.
  void RestartIntoBootLoader(ControllerMode firmwareMode);
  // The boot loader's 'B': the selected firmware starts after
  // firmwareStartMicros.
  void StartFirmware();
  // Changes the guider's own line speed (camera frame download).
  void SetLineBaud(std::uint32_t baud) { line_.baud = baud; }
  // Runs `action` after `delayMicros` unless the controller restarts or
  // loses power first.
  void After(std::int64_t delayMicros, std::function<void()> action);
  // Adds or replaces the request served for `command` in `mode`.
  void AddRequest(ControllerMode mode, std::uint8_t command, std::unique_ptr<Request> request);
  // Convenience for one-byte requests.
  void AddCommand(ControllerMode mode, std::uint8_t command,
                  std::function<void(HandController&)> action);

  // ---- Fault injection ----

  // While silent it takes and acts on every byte but sends nothing (the
  // bytes it would send are traced as kDropped).
  void SetSilent(bool silent) { silent_ = silent; }
  // The answer of the next request with command byte `command` (0x00 the
  // probe, 0xAA identify, 0x03 the version, 0xDD a page read) is `answer`
  // instead: shorter, longer, empty or wrong. For a request that answers in
  // steps it replaces what the request sends in the step that completes it
  // (for identify, the whole answer; for a page read, its last chunk and
  // trailer).
  void ReplaceNextAnswer(std::uint8_t command, std::vector<std::uint8_t> answer);
  // Counting sent bytes from now on (1 = the next one): the n-th becomes
  // `value`.
  void ReplaceSentByte(std::size_t n, std::uint8_t value);
  // Counting received bytes from now on: the n-th arrives as `value`, as a
  // line glitch would deliver it.
  void ReplaceReceivedByte(std::size_t n, std::uint8_t value);
  // Counting sent bytes from now on: the n-th and every later one are lost
  // (a guider that hangs part-way through an answer).
  void SilenceFromSentByte(std::size_t n);
  // Counting from now on: the n-th sent / received byte is lost on the line.
  void DropSentByte(std::size_t n);
  void DropReceivedByte(std::size_t n);
  // Power fails at a virtual time, or just after the n-th byte received
  // from now on arrived (that byte is traced as delivered but not served).
  void PowerOffAt(std::int64_t atMicros);
  void PowerOffAfterReceived(std::size_t n);
  void ClearFaults();

 private:
  struct Pulse {
    bool high = false;
    std::int64_t since = 0;
  };

  void BeginRestart(ControllerMode target, std::int64_t delayMicros);
  void Dispatch(std::uint8_t byte);
  void AbortRequest();
  void Emit(std::uint8_t byte, const LineSettings& line);
  void OnPulseEnd(int line);
  Request* Lookup(std::uint8_t command);

  VirtualClock& clock_;
  // Events left on the clock check this token, so that a controller
  // destroyed before its clock is never called back.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  HandControllerConfig config_;
  ByteSink sink_;
  ControllerMode mode_ = ControllerMode::kOff;
  ControllerMode selected_ = ControllerMode::kNormal;
  LineSettings line_;
  std::map<ControllerMode, std::map<std::uint8_t, std::unique_ptr<Request>>> requests_;
  Request* current_ = nullptr;
  std::uint8_t current_command_ = 0;
  std::int64_t last_request_byte_ = 0;
  // Bumped by every restart and power loss: actions scheduled before are
  // void. mode_epoch_ is also bumped by EnterMode and ends a request.
  std::uint64_t life_epoch_ = 0;
  std::uint64_t mode_epoch_ = 0;
  std::array<Pulse, 4> pulses_{};
  std::uint8_t cbus_directions_ = 0;
  std::uint8_t cbus_levels_ = 0;

  bool tracing_ = true;
  std::vector<LineTraceEntry> line_trace_;
  std::vector<CbusSample> cbus_history_;

  // Faults.
  bool silent_ = false;
  std::map<std::uint8_t, std::vector<std::uint8_t>> replaced_answers_;
  // Byte faults are keyed by the running count of bytes sent / received.
  std::size_t sent_total_ = 0;
  std::size_t received_total_ = 0;
  std::map<std::size_t, std::uint8_t> replaced_sent_;
  std::map<std::size_t, std::uint8_t> replaced_received_;
  std::optional<std::size_t> silent_from_;
  std::vector<std::size_t> dropped_sent_;
  std::vector<std::size_t> dropped_received_;
  std::optional<std::size_t> power_off_after_;
  std::optional<VirtualClock::EventId> power_off_event_;
  // While a request runs, its answer is collected here so that
  // ReplaceNextAnswer can swap it whole. Each byte keeps the line settings
  // it was sent with: a request may change the speed after answering, and
  // its answer must still go out at the old one.
  struct SentByte {
    std::uint8_t byte;
    LineSettings line;
  };
  bool collecting_ = false;
  std::vector<SentByte> collected_;
};

}  // namespace ktal::sim
