// SPDX-License-Identifier: GPL-3.0-or-later
// CFtdiDevice: the one USB serial link to the guider's hand controller.
//
// It finds the hand controller among the attached FTDI chips by its USB
// description, opens it, sets the line, moves bytes and drives the chip's
// four CBUS lines (power-on and reset). Every operation returns a plain
// status and leaves a readable failure text in errorText; nothing throws and
// nothing is shown to the user. All I/O goes through an FtdiDriver, all
// waits through a Clock.
#pragma once

#include <cstdint>
#include <string>

#include "link/clock.h"
#include "link/ftdi_driver.h"

namespace ktal {

// Which USB description Open accepts.
enum DeviceKindValue : std::int32_t {
  kDeviceKindAny = 0,
  kDeviceKindPentrox = 1,
  kDeviceKindGuider = 2,
  kDeviceKindCircuitTester = 3,
  kDeviceKindCircuitTester221 = 4,
  kDeviceKindRizoZirTester = 5,
  kDeviceKindProgrammer = 80,
  kDeviceKindFactoryChip = 99,
};

inline constexpr char kGuiderDescription[] = "Orvelia K-Tal StandAlone AutoGuider";
inline constexpr char kFactoryChipDescription[] = "FT232R USB UART";
// How a failed Open begins when no accepted chip could be opened.
inline constexpr char kNoDeviceFoundText[] = "No proper USB device found";

class CFtdiDevice {
 public:
  CFtdiDevice();
  ~CFtdiDevice();
  CFtdiDevice(const CFtdiDevice&) = delete;
  CFtdiDevice& operator=(const CFtdiDevice&) = delete;

  // Chooses the driver and the clock. Neither is owned; both must outlive
  // every later call. Without a driver no device is ever found.
  void AttachDriver(FtdiDriver* driver, Clock* clock);
  FtdiDriver* driver() const { return driver_; }
  Clock& clock() const { return *clock_; }
  // Every protocol wait goes through here.
  void Wait(std::uint32_t milliseconds) { clock_->SleepMs(milliseconds); }

  int Open();
  int Close();
  int SetDataFormat(std::int32_t wordLength, std::int32_t stopBits, std::int32_t parity);
  int SetBaudRate(std::int32_t baudRate);
  int SetTimeouts(std::int32_t readTimeout, std::int32_t writeTimeout);
  int SetLatencyTimer(std::int32_t milliseconds);
  int SetXferSize(std::int32_t size);
  // The serial number; an empty text on failure.
  const char* QuerySerial();
  int FlushInBuffer();
  // Bytes written; 0 on any failure.
  int Write(const void* buffer, int count);
  // Bytes read, fewer than count when the read time-out ran out part-way;
  // 0 on any failure.
  int Read(void* buffer, int count);
  // 0 when the byte read equals `expected` (negative: lastWrittenByte),
  // 1 when it differs, -1 on failure or when nothing arrived.
  int ReadAck(int expected = -1);
  int QueryReadBufLen();
  int QueryWriteBufLen();
  int SetBitOutput(std::uint32_t mask, std::uint32_t values);
  int ResetDevice();

  bool IsOpen() const { return handle != nullptr; }

  // Fields, in the order the rest of the program knows them.
  std::uint32_t status = FT_OK;
  FtHandle handle = nullptr;
  std::int32_t deviceKind = kDeviceKindAny;
  char errorText[1024] = {};
  std::wstring errorString;
  std::int32_t timedOut = 0;
  std::int32_t lastWrittenByte = 0;
  std::uint32_t bitDirections = 0;
  std::uint32_t bitValues = 0;

 private:
  // Sets errorText and errorString to a fixed text.
  void SetPlainError(const char* text);
  // Records a failed driver call: "<what> (code %d ($%x))", timedOut = 0.
  int RecordFailure(const char* what, FtStatus st);
  // Records a read or write that moved nothing before its time-out.
  void RecordTimeout(const char* what);
  bool CheckOpen(const char* operation);
  // Adds what the driver knows beyond the status (a missing udev rule) to a
  // failed Open's text.
  void AppendDriverDetail(bool toErrorString);
  bool Accepts(const FtDeviceListInfoNode& node) const;

  FtdiDriver* driver_ = nullptr;
  Clock* clock_ = nullptr;
};

// The process-wide link object.
extern CFtdiDevice g_device;

// QuerySerial's two process-wide result buffers.
extern char g_deviceSerialNumber[256];
extern char g_deviceDescription[256];

}  // namespace ktal
