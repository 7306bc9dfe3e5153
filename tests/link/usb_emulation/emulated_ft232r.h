// SPDX-License-Identifier: GPL-3.0-or-later
// An FT232R (or FT-X) as libusb sees it: descriptors, the vendor control
// requests, and bulk data moved the way the chip moves it.
//
// - Bulk IN: 64-byte packets, each starting with the modem and line status
//   bytes. The chip sends a full packet once it holds 62 bytes, and a short
//   one (status only when it holds nothing) when its latency timer runs out,
//   counted from the packet before. A transfer ends on a short packet or
//   when it is full. Bytes that arrive while no transfer is waiting collect
//   in the receive FIFO (256 bytes); beyond that they are lost (overrun).
// - Bulk OUT: the chip takes bytes while its transmit FIFO (128 bytes) has
//   room and puts them on the line at the configured rate, so a transfer
//   ends when all but the last 128 bytes have gone out.
// - Control requests set the line: the baud divisor is decoded as the chip
//   decodes it, and the decoded rate and data format are what the far end
//   sees. A guider behind the chip (sim::HandController) takes bytes only at
//   its own line settings, so a wrong divisor or a missed data-format
//   request shows up as a guider that does not answer.
// - SET_BITMODE in CBUS mode drives the guider's power-on and reset inputs.
//
// Time is a ChipTime: the guider's virtual clock in tests, real time in the
// benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chip_time.h"
#include "sim/hand_controller.h"
#include "sim/serial_line.h"

namespace ktal::usbemu {

struct ChipConfig {
  std::uint16_t productId = 0x6001;
  std::uint16_t bcdDevice = 0x0600;
  std::string manufacturer = "FTDI";
  std::string description = "FT232R USB UART";
  // Empty: the chip has no serial number string (iSerialNumber 0).
  std::string serial = "A50285BI";
  std::uint8_t bus = 1;
  std::uint8_t address = 2;
  // Not owned. Null: nothing on the serial and CBUS lines.
  sim::HandController* guider = nullptr;
  // What the CBUS lines read while they are inputs, bit n = CBUSn.
  std::uint8_t inputLevels = 0x00;
  std::size_t rxFifoBytes = 256;
  std::size_t txFifoBytes = 128;
};

// The guider's chip: FT232R with the guider's description.
ChipConfig GuiderChip(sim::HandController* guider, std::string serial = "KT000001");
// The guider's description on an FT-X (0x6015, bcdDevice 0x1000).
ChipConfig FtxGuiderChip(sim::HandController* guider, std::string serial = "KTX00001");

// One control request as the chip received it.
struct ControlRequest {
  std::int64_t atMicros = 0;
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

// Vendor requests of the chip.
enum : std::uint8_t {
  kReqReset = 0x00,
  kReqModemCtrl = 0x01,
  kReqFlowCtrl = 0x02,
  kReqSetBaudRate = 0x03,
  kReqSetData = 0x04,
  kReqPollModemStatus = 0x05,
  kReqSetEventChar = 0x06,
  kReqSetErrorChar = 0x07,
  kReqSetLatency = 0x09,
  kReqGetLatency = 0x0A,
  kReqSetBitMode = 0x0B,
  kReqReadPins = 0x0C,
  kReqReadEeprom = 0x90,
};

// The baud rate the chip runs at for a SET_BAUDRATE request: divisor
// value & 0x3FFF plus the eighths given by (index & 1) << 2 | value >> 14,
// dividing 3 MHz; 0 and 1 are the special 3 Mbaud and 2 Mbaud.
std::uint32_t DecodeBaudRate(std::uint16_t value, std::uint16_t index);

class EmulatedFt232r {
 public:
  EmulatedFt232r(ChipTime& time, ChipConfig config);
  ~EmulatedFt232r();
  EmulatedFt232r(const EmulatedFt232r&) = delete;
  EmulatedFt232r& operator=(const EmulatedFt232r&) = delete;

  const ChipConfig& config() const { return config_; }

  // ---- What the host has set ----

  const sim::LineSettings& line() const { return line_; }
  std::uint8_t latencyMs() const { return latencyMs_; }
  std::uint8_t bitMode() const { return bitMode_; }
  std::uint8_t cbusDirections() const { return cbusDirections_; }
  std::uint8_t cbusLevels() const { return cbusLevels_; }
  bool attached() const { return attached_; }
  bool kernelDriverAttached() const { return kernelDriver_; }
  bool claimed() const { return claimed_; }
  // How often an interface claim went through.
  int claim_count() const { return claimCount_; }

  const std::vector<ControlRequest>& controls() const { return controls_; }
  void clear_controls() { controls_.clear(); }
  // Of the control requests with that request code.
  std::vector<ControlRequest> ControlsOf(std::uint8_t request) const;
  // wValue of every SET_BITMODE request (mode << 8 | mask).
  std::vector<std::uint16_t> BitModeValues() const;
  // The rate each SET_BAUDRATE request set.
  std::vector<std::uint32_t> BaudRates() const;
  std::vector<std::uint8_t> LatencyValues() const;
  // Every byte the chip put on the line towards the far end, in order.
  const std::vector<std::uint8_t>& line_out() const { return lineOut_; }
  // Received bytes lost because the FIFO was full.
  std::size_t overrun_bytes() const { return overrunBytes_; }
  // Received bytes the chip still holds (arrived or on their way).
  std::size_t rx_pending() const { return rx_.size(); }

  // ---- The far end ----

  // A byte sent by the far end now with its line settings: it arrives when
  // its last bit is in, if the chip runs the same settings.
  sim::LineFate FromFarEnd(std::uint8_t byte, const sim::LineSettings& sender);
  // A stream sent by the far end, back to back, its first character
  // starting `delayMicros` from now. Returns how many bytes the chip will
  // receive.
  std::size_t PlayLine(std::span<const std::uint8_t> bytes, const sim::LineSettings& sender,
                       std::int64_t delayMicros = 0);

  // ---- Faults ----

  // Gone from the bus: every later request fails with LIBUSB_ERROR_NO_DEVICE,
  // one waiting included.
  void Unplug();
  void UnplugAt(std::int64_t atMicros);
  // The next `count` control requests with that code stall
  // (LIBUSB_ERROR_PIPE); 0 stalls every one until ClearFaults.
  void StallControl(std::uint8_t request, unsigned count = 1);
  // The chip stops sending IN packets: bulk reads run into their time-out.
  void SetInPacketsStopped(bool stopped) { inStopped_ = stopped; }
  // The chip stops taking OUT data (its line is held): writes time out.
  void SetOutDrainStopped(bool stopped) { outStopped_ = stopped; }
  // libusb_open / libusb_claim_interface fail with that libusb code
  // (LIBUSB_ERROR_ACCESS: no permission on the device node). 0 lifts it.
  void DenyOpen(int libusbError) { openError_ = libusbError; }
  void DenyClaim(int libusbError) { claimError_ = libusbError; }
  // String descriptor requests stall.
  void SetStringsStalled(bool stalled) { stringsStalled_ = stalled; }
  void ClearFaults();

  // ---- The USB side, for the libusb functions ----

  // The bus is reset while the host still holds the chip: it is unplugged
  // and forgets its guider and its time source, which may be gone.
  void Retire();

  int open_error() const { return openError_; }
  int claim_error() const { return claimError_; }
  // libusb_claim_interface / libusb_release_interface went through.
  void OnClaimed(bool autoDetach);
  void OnReleased();
  // Returns false when no kernel driver was bound.
  bool DetachKernelDriver();
  // String descriptor 1 (manufacturer), 2 (product), 3 (serial).
  std::optional<std::string> StringDescriptor(std::uint8_t index) const;
  // libusb_control_transfer: bytes moved, or a LIBUSB_ERROR code.
  int Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
              std::uint16_t index, unsigned char* data, std::uint16_t length);
  // libusb_bulk_transfer on 0x81 / 0x02: 0 or a LIBUSB_ERROR code, with
  // *transferred set either way.
  int BulkIn(unsigned char* data, int length, int* transferred, unsigned timeoutMs);
  int BulkOut(const unsigned char* data, int length, int* transferred, unsigned timeoutMs);

 private:
  struct RxByte {
    std::uint8_t byte;
    std::int64_t arrival;
  };

  std::size_t Arrived(std::int64_t now) const;
  void DropOverrun(std::int64_t now);
  // Writes one packet of `count` data bytes at `dst`; returns its size.
  int EmitPacket(unsigned char* dst, std::size_t count, std::int64_t now);
  std::uint8_t LineStatus(std::int64_t now) const;
  void PurgeReceive();
  void PurgeTransmit();
  void SetCbus(std::uint8_t directions, std::uint8_t levels);

  ChipTime& time_;
  ChipConfig config_;
  // Actions left with the time source check this, so that a chip destroyed
  // first is never called back.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  bool attached_ = true;
  bool kernelDriver_ = true;
  bool claimed_ = false;
  bool detachedOnClaim_ = false;

  sim::LineSettings line_;
  std::uint8_t latencyMs_ = 16;
  std::uint8_t bitMode_ = 0;
  std::uint8_t cbusDirections_ = 0;
  std::uint8_t cbusLevels_ = 0;

  // Receive side: bytes in arrival order, arrival times ascending.
  std::deque<RxByte> rx_;
  std::int64_t rxLineFree_ = 0;
  std::int64_t lastPacket_ = -1'000'000'000;
  // The chip's time when the last IN transfer ended, and the real time it
  // returned to the host (later only when a real-time sleep overslept).
  std::int64_t lastComplete_ = 0;
  std::int64_t lastReturn_ = 0;
  bool overrunPending_ = false;
  std::size_t overrunBytes_ = 0;

  // Transmit side: line start times of the bytes still in the FIFO.
  std::deque<std::int64_t> txStarts_;
  std::int64_t txLineFree_ = 0;
  // Bumped by a transmit purge: bytes scheduled before it never go out.
  std::uint64_t txEpoch_ = 0;
  std::vector<std::uint8_t> lineOut_;

  std::vector<ControlRequest> controls_;
  std::map<std::uint8_t, unsigned> stalls_;  // request -> count, 0 = all
  bool inStopped_ = false;
  bool outStopped_ = false;
  int openError_ = 0;
  int claimError_ = 0;
  bool stringsStalled_ = false;
  int claimCount_ = 0;
};

}  // namespace ktal::usbemu
