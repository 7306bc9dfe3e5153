// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated FT232R behind the FtdiDriver seam.
//
// It holds a list of attached chips. Each may have a HandController on its
// serial line and CBUS lines; the rest behave as chips with nothing
// attached. The model follows the vendor driver where the link relies on it:
// - Read blocks until `count` bytes arrived or the read time-out ran out and
//   then succeeds with what it has. "Blocking" is done in virtual time: the
//   clock jumps to the next byte arrival or guider event, or to the
//   deadline, so nothing spins and nothing really sleeps. A read time-out of
//   0 (the driver's "wait for ever") waits only while something is still
//   due, so a read can never hang a test.
// - Write returns once every byte has left on the line: the clock advances
//   by the time the characters take at the link's line speed (1.04 ms a
//   byte at 9600, 40 us at 250000), and the guider takes each byte as it
//   arrives. The transmit queue is therefore always empty after a Write.
//   A write that would outlast the write time-out stops there and succeeds
//   with the bytes that went.
// - Bytes from the guider take their line time too and become readable
//   when their last bit is in; bytes sent at another speed or format, or
//   while no handle is open, are lost. The latency timer is recorded but not
//   modelled.
// - A queue query (GetQueueStatus, GetStatus) takes one USB frame (1 ms of
//   virtual time) while bytes are still on the wire or nothing is ready and
//   the guider has something pending, so that polling loops see time pass.
// - Purge and ResetDevice throw away the bytes that have arrived (bytes
//   still on the wire come in afterwards); ResetDevice keeps the line
//   settings, which every handshake sets again anyway. Open starts from the
//   driver's defaults: 9600 baud 8N1, latency 16 ms, no time-outs.
// - The CBUS lines keep their directions and levels across Close and
//   ResetDevice (the chip stays powered by USB); Open leaves them alone and
//   GetBitMode reads each output's driven level and each input's outside
//   level (SimDevice::pinLevels).
// Every call is recorded (calls()) and any call can be made to fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/ftdi_driver.h"
#include "sim/driver_trace.h"
#include "sim/hand_controller.h"
#include "sim/serial_line.h"
#include "sim/virtual_clock.h"

namespace ktal::sim {

inline constexpr char kGuiderNodeDescription[] = "Orvelia K-Tal StandAlone AutoGuider";
inline constexpr char kFactoryNodeDescription[] = "FT232R USB UART";
inline constexpr std::uint32_t kFt232rId = 0x04036001;
inline constexpr std::uint32_t kFtxId = 0x04036015;

// One entry of the device list.
struct SimDevice {
  // What enumeration reports. Flags and ftHandle are kept up to date by the
  // driver (FT_FLAGS_OPENED while open).
  FtDeviceListInfoNode node;
  // Not owned. Null: nothing on the lines. Either may go first: a
  // controller left behind finds its chip gone and its bytes lost.
  HandController* controller = nullptr;
  // Levels of the CBUS lines while they are inputs (bit n = CBUSn), what
  // GetBitMode reports right after the first open.
  std::uint8_t pinLevels = 0x00;
};

// Ready-made entries.
SimDevice GuiderDevice(HandController* controller, const char* serial = "KT000001");
// The guider's description on an FT-X chip (product 0x6015).
SimDevice FtxGuiderDevice(HandController* controller, const char* serial = "KTX00001");
// A chip still carrying its factory description.
SimDevice FactoryChipDevice(const char* serial = "A50285BI");
// The guider's description with a product ID the link must not accept.
SimDevice WrongProductDevice(std::uint32_t id = 0x04036010, const char* serial = "KT999999");

// The state of one chip as the driver calls left it.
struct ChipState {
  bool open = false;
  LineSettings line;
  std::uint8_t latencyMs = 16;
  std::uint32_t readTimeoutMs = 0;
  std::uint32_t writeTimeoutMs = 0;
  std::uint32_t inTransferSize = 4096;
  std::uint32_t outTransferSize = 4096;
  std::uint8_t bitMode = FT_BITMODE_RESET;
  std::uint8_t cbusDirections = 0;
  std::uint8_t cbusLevels = 0;
};

class SimFtdiDriver final : public FtdiDriver {
 public:
  explicit SimFtdiDriver(VirtualClock& clock);
  ~SimFtdiDriver() override;
  SimFtdiDriver(const SimFtdiDriver&) = delete;
  SimFtdiDriver& operator=(const SimFtdiDriver&) = delete;

  // ---- The device list ----

  // Appends a device; returns its index in the list.
  std::size_t AddDevice(const SimDevice& device);
  std::size_t device_count() const { return chips_.size(); }
  const ChipState& chip(std::size_t index) const;
  // The index of an open handle, or -1.
  int IndexOf(FtHandle handle) const;

  // ---- FtdiDriver ----

  FtStatus CreateDeviceInfoList(std::uint32_t* count) override;
  FtStatus GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) override;
  FtStatus Open(int index, FtHandle* handle) override;
  FtStatus Close(FtHandle handle) override;
  FtStatus SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength, std::uint8_t stopBits,
                                  std::uint8_t parity) override;
  FtStatus SetBaudRate(FtHandle handle, std::uint32_t baudRate) override;
  FtStatus SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                       std::uint32_t writeTimeout) override;
  FtStatus SetLatencyTimer(FtHandle handle, std::uint8_t milliseconds) override;
  FtStatus SetUSBParameters(FtHandle handle, std::uint32_t inTransferSize,
                            std::uint32_t outTransferSize) override;
  FtStatus GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                         char* serialNumber, char* description) override;
  FtStatus Purge(FtHandle handle, std::uint32_t mask) override;
  FtStatus Write(FtHandle handle, const void* buffer, std::uint32_t count,
                 std::uint32_t* written) override;
  FtStatus Read(FtHandle handle, void* buffer, std::uint32_t count, std::uint32_t* read) override;
  FtStatus GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) override;
  FtStatus GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                     std::uint32_t* eventStatus) override;
  FtStatus SetBitMode(FtHandle handle, std::uint8_t mask, std::uint8_t mode) override;
  FtStatus GetBitMode(FtHandle handle, std::uint8_t* mode) override;
  FtStatus ResetDevice(FtHandle handle) override;

  // ---- The call trace ----

  const std::vector<DriverCallRecord>& calls() const { return calls_; }
  void clear_calls() { calls_.clear(); }
  // On from the start; a long interactive session turns it off.
  void set_tracing(bool on) { tracing_ = on; }
  std::string FormatCalls() const { return FormatTrace(calls_); }
  // The mask bytes of every SetBitMode call that succeeded, in order (a
  // failed call reached no line).
  std::vector<std::uint8_t> BitModeMasks() const;
  // Everything written / read through successful calls, concatenated.
  std::vector<std::uint8_t> WrittenBytes() const;
  std::vector<std::uint8_t> ReadBytes() const;
  // The calls of one kind.
  std::vector<DriverCallRecord> CallsOf(DriverCall call) const;

  // ---- Fault injection ----

  // The n-th call of that kind from now on (1 = the next) fails with
  // `status` and has no effect; n = 0 makes every such call fail until
  // ClearFaults.
  void FailCall(DriverCall call, FtStatus status, unsigned n = 1);
  // The n-th Write from now on stalls after `bytesBefore` bytes: it takes
  // the whole write time-out and succeeds with that many bytes written.
  void InjectWriteTimeout(unsigned n = 1, std::uint32_t bytesBefore = 0);
  // The cable is pulled as the n-th byte from now on (1 = the next, either
  // way on any chip's line) would pass: that byte and every later one are
  // lost, every call on the chip's handle fails with FT_IO_ERROR (Close
  // still releases it), and enumeration no longer lists the chip. The
  // guider at the far end keeps its own power.
  void UnplugAtLineByte(std::size_t n);
  void Unplug(std::size_t index);
  // Plugged in again: listed, closed, ready to be opened.
  void Replug(std::size_t index);
  bool unplugged(std::size_t index) const;
  void ClearFaults();

 private:
  struct Chip;
  struct CallFault {
    DriverCall call;
    FtStatus status;
    unsigned remaining;  // 0: every call
  };

  Chip* Find(FtHandle handle) const;
  // The chip behind an index of the device list as enumeration shows it
  // (unplugged chips are not listed); null when there is none.
  Chip* Listed(int index) const;
  // Counts one byte passing on a line; true when the cable is pulled at it.
  bool PullsCableAt(Chip& chip);
  // Applies a FailCall fault: true, with the status, when this call fails.
  bool Injected(DriverCall call, FtStatus* status);
  DriverCallRecord Begin(DriverCall call) const;
  // Appends the record with its status and returns the status.
  FtStatus Finish(DriverCallRecord record, FtStatus status);
  // Bytes readable now, after one USB frame when more may still come.
  std::size_t ReadyAfterPoll(Chip& chip);
  LineFate Arrive(Chip& chip, std::uint8_t byte, const LineSettings& sender);
  void NotifyCbus(Chip& chip);

  VirtualClock& clock_;
  // The controllers' sinks check this token, so that bytes sent after the
  // driver is gone are lost rather than delivered to freed memory.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::vector<std::unique_ptr<Chip>> chips_;
  bool tracing_ = true;
  std::vector<DriverCallRecord> calls_;
  std::vector<CallFault> call_faults_;
  unsigned write_timeout_in_ = 0;  // Writes until the stall; 0: none pending
  std::uint32_t write_timeout_bytes_ = 0;
  std::size_t line_bytes_ = 0;
  std::optional<std::size_t> unplug_at_;
};

}  // namespace ktal::sim
