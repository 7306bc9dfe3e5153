// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/sim_ftdi_driver.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace ktal::sim {
namespace {

// A read with the driver's "no time-out" gives up after this much virtual
// time, so that a test can never hang on it.
constexpr std::int64_t kForeverMicros = 60'000'000;
// A queue query takes one USB frame while bytes are still on the wire, or
// while nothing is ready and the guider has something pending, so that a
// loop polling the queue sees time pass.
constexpr std::int64_t kUsbFrameMicros = 1000;

constexpr std::uint32_t kMinBaud = 183;
constexpr std::uint32_t kMaxBaud = 3'000'000;

void CopyText(char* target, std::size_t size, const char* text) {
  std::strncpy(target, text, size - 1);
  target[size - 1] = '\0';
}

SimDevice MakeDevice(std::uint32_t type, std::uint32_t id, const char* serial,
                     const char* description, HandController* controller) {
  SimDevice device;
  device.node.Type = type;
  device.node.ID = id;
  CopyText(device.node.SerialNumber, sizeof device.node.SerialNumber, serial);
  CopyText(device.node.Description, sizeof device.node.Description, description);
  device.controller = controller;
  return device;
}

}  // namespace

SimDevice GuiderDevice(HandController* controller, const char* serial) {
  return MakeDevice(FT_DEVICE_232R, kFt232rId, serial, kGuiderNodeDescription, controller);
}

SimDevice FtxGuiderDevice(HandController* controller, const char* serial) {
  return MakeDevice(FT_DEVICE_X_SERIES, kFtxId, serial, kGuiderNodeDescription, controller);
}

SimDevice FactoryChipDevice(const char* serial) {
  return MakeDevice(FT_DEVICE_232R, kFt232rId, serial, kFactoryNodeDescription, nullptr);
}

SimDevice WrongProductDevice(std::uint32_t id, const char* serial) {
  return MakeDevice(FT_DEVICE_232R, id, serial, kGuiderNodeDescription, nullptr);
}

struct SimFtdiDriver::Chip {
  struct Arrival {
    std::int64_t at;
    std::uint8_t byte;
  };

  SimDevice device;
  ChipState state;
  std::deque<Arrival> rx;       // bytes from the guider, in arrival order
  std::int64_t rxLineFree = 0;  // the guider's line is busy until then
  std::int64_t txLineFree = 0;  // the host's line is busy until then
  bool unplugged = false;

  // Arrivals are in time order, so the ready ones are a prefix.
  std::size_t Ready(std::int64_t now) const {
    const auto end =
        std::partition_point(rx.begin(), rx.end(), [now](const Arrival& a) { return a.at <= now; });
    return static_cast<std::size_t>(end - rx.begin());
  }
  void DropReady(std::int64_t now) {
    while (!rx.empty() && rx.front().at <= now) rx.pop_front();
  }
  std::uint8_t PinByte() const {
    const std::uint8_t dirs = state.cbusDirections;
    return static_cast<std::uint8_t>(((state.cbusLevels & dirs) | (device.pinLevels & ~dirs)) &
                                     0x0F);
  }
};

SimFtdiDriver::SimFtdiDriver(VirtualClock& clock) : clock_(clock) {}

SimFtdiDriver::~SimFtdiDriver() = default;

std::size_t SimFtdiDriver::AddDevice(const SimDevice& device) {
  auto chip = std::make_unique<Chip>();
  chip->device = device;
  chip->device.node.Flags = 0;
  chip->device.node.ftHandle = nullptr;
  if (chip->device.node.LocId == 0) {
    chip->device.node.LocId = 0x11 + static_cast<std::uint32_t>(chips_.size());
  }
  Chip* raw = chip.get();
  if (raw->device.controller != nullptr) {
    const std::weak_ptr<int> alive = alive_;
    raw->device.controller->SetSink(
        [this, raw, alive](std::uint8_t byte, const LineSettings& sender) {
          if (alive.expired()) return LineFate::kNotListening;  // the chip is gone
          return Arrive(*raw, byte, sender);
        });
  }
  chips_.push_back(std::move(chip));
  return chips_.size() - 1;
}

const ChipState& SimFtdiDriver::chip(std::size_t index) const { return chips_.at(index)->state; }

int SimFtdiDriver::IndexOf(FtHandle handle) const {
  for (std::size_t i = 0; i < chips_.size(); ++i) {
    if (chips_[i].get() == handle && chips_[i]->state.open) return static_cast<int>(i);
  }
  return -1;
}

SimFtdiDriver::Chip* SimFtdiDriver::Find(FtHandle handle) const {
  const int index = IndexOf(handle);
  return index < 0 ? nullptr : chips_[static_cast<std::size_t>(index)].get();
}

SimFtdiDriver::Chip* SimFtdiDriver::Listed(int index) const {
  for (const auto& chip : chips_) {
    if (chip->unplugged) continue;
    if (index-- == 0) return chip.get();
  }
  return nullptr;
}

bool SimFtdiDriver::PullsCableAt(Chip& chip) {
  ++line_bytes_;
  if (!unplug_at_ || line_bytes_ < *unplug_at_) return false;
  unplug_at_.reset();
  chip.unplugged = true;
  return true;
}

LineFate SimFtdiDriver::Arrive(Chip& chip, std::uint8_t byte, const LineSettings& sender) {
  if (chip.unplugged || PullsCableAt(chip)) return LineFate::kNotListening;
  if (!chip.state.open) return LineFate::kNotListening;
  if (!SpeedsMatch(sender.baud, chip.state.line.baud)) return LineFate::kBaudMismatch;
  if (!SameFormat(sender, chip.state.line)) return LineFate::kFormatMismatch;
  const std::int64_t start = std::max(clock_.NowMicros(), chip.rxLineFree);
  const std::int64_t at = start + CharacterMicros(sender);
  chip.rxLineFree = at;
  chip.rx.push_back({at, byte});
  return LineFate::kDelivered;
}

void SimFtdiDriver::NotifyCbus(Chip& chip) {
  if (chip.device.controller != nullptr) {
    chip.device.controller->OnCbusChanged(chip.state.cbusDirections, chip.state.cbusLevels);
  }
}

bool SimFtdiDriver::Injected(DriverCall call, FtStatus* status) {
  for (auto it = call_faults_.begin(); it != call_faults_.end(); ++it) {
    if (it->call != call) continue;
    if (it->remaining == 0) {
      *status = it->status;
      return true;
    }
    if (--it->remaining == 0) {
      *status = it->status;
      call_faults_.erase(it);
      return true;
    }
  }
  return false;
}

DriverCallRecord SimFtdiDriver::Begin(DriverCall call) const {
  DriverCallRecord record;
  record.call = call;
  record.atMicros = clock_.NowMicros();
  return record;
}

FtStatus SimFtdiDriver::Finish(DriverCallRecord record, FtStatus status) {
  record.status = status;
  if (tracing_) calls_.push_back(std::move(record));
  return status;
}

// ---- Enumeration, open and close ----

FtStatus SimFtdiDriver::CreateDeviceInfoList(std::uint32_t* count) {
  DriverCallRecord record = Begin(DriverCall::kCreateDeviceInfoList);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  if (count == nullptr) return Finish(record, FT_INVALID_PARAMETER);
  *count = 0;
  while (Listed(static_cast<int>(*count)) != nullptr) ++*count;
  record.result = *count;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::GetDeviceInfoList(FtDeviceListInfoNode* list, std::uint32_t* count) {
  DriverCallRecord record = Begin(DriverCall::kGetDeviceInfoList);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  if (list == nullptr || count == nullptr) return Finish(record, FT_INVALID_PARAMETER);
  std::uint32_t listed = 0;
  while (Listed(static_cast<int>(listed)) != nullptr) ++listed;
  const std::size_t n = std::min<std::size_t>(*count, listed);
  for (std::size_t i = 0; i < n; ++i) list[i] = Listed(static_cast<int>(i))->device.node;
  *count = listed;
  record.result = static_cast<std::uint32_t>(n);
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::Open(int index, FtHandle* handle) {
  DriverCallRecord record = Begin(DriverCall::kOpen);
  record.a = static_cast<std::uint32_t>(index);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  if (handle == nullptr) return Finish(record, FT_INVALID_PARAMETER);
  *handle = nullptr;
  Chip* listed = Listed(index);
  if (listed == nullptr) return Finish(record, FT_DEVICE_NOT_FOUND);
  Chip& chip = *listed;
  if (chip.state.open) return Finish(record, FT_DEVICE_NOT_OPENED);

  // A fresh handle starts from the driver's defaults; the CBUS pins keep
  // whatever the chip last drove.
  const ChipState previous = chip.state;
  chip.state = ChipState{};
  chip.state.bitMode = previous.bitMode;
  chip.state.cbusDirections = previous.cbusDirections;
  chip.state.cbusLevels = previous.cbusLevels;
  chip.state.open = true;
  chip.rx.clear();
  chip.rxLineFree = chip.txLineFree = clock_.NowMicros();
  chip.device.node.Flags |= FT_FLAGS_OPENED;
  chip.device.node.ftHandle = &chip;
  *handle = &chip;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::Close(FtHandle handle) {
  DriverCallRecord record = Begin(DriverCall::kClose);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  chip->state.open = false;
  chip->rx.clear();
  chip->device.node.Flags &= ~FT_FLAGS_OPENED;
  chip->device.node.ftHandle = nullptr;
  return Finish(record, FT_OK);
}

// ---- Line settings ----

FtStatus SimFtdiDriver::SetDataCharacteristics(FtHandle handle, std::uint8_t wordLength,
                                               std::uint8_t stopBits, std::uint8_t parity) {
  DriverCallRecord record = Begin(DriverCall::kSetDataCharacteristics);
  record.a = wordLength;
  record.b = stopBits;
  record.c = parity;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 4) {
    return Finish(record, FT_INVALID_PARAMETER);
  }
  chip->state.line.wordLength = wordLength;
  chip->state.line.stopBits = stopBits;
  chip->state.line.parity = parity;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::SetBaudRate(FtHandle handle, std::uint32_t baudRate) {
  DriverCallRecord record = Begin(DriverCall::kSetBaudRate);
  record.a = baudRate;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (baudRate < kMinBaud || baudRate > kMaxBaud) return Finish(record, FT_INVALID_BAUD_RATE);
  chip->state.line.baud = baudRate;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::SetTimeouts(FtHandle handle, std::uint32_t readTimeout,
                                    std::uint32_t writeTimeout) {
  DriverCallRecord record = Begin(DriverCall::kSetTimeouts);
  record.a = readTimeout;
  record.b = writeTimeout;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  chip->state.readTimeoutMs = readTimeout;
  chip->state.writeTimeoutMs = writeTimeout;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::SetLatencyTimer(FtHandle handle, std::uint8_t milliseconds) {
  DriverCallRecord record = Begin(DriverCall::kSetLatencyTimer);
  record.a = milliseconds;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (milliseconds == 0) return Finish(record, FT_INVALID_PARAMETER);
  chip->state.latencyMs = milliseconds;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::SetUSBParameters(FtHandle handle, std::uint32_t inTransferSize,
                                         std::uint32_t outTransferSize) {
  DriverCallRecord record = Begin(DriverCall::kSetUSBParameters);
  record.a = inTransferSize;
  record.b = outTransferSize;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  // The chip moves whole 64-byte packets.
  if (inTransferSize < 64 || inTransferSize > 65536 || inTransferSize % 64 != 0) {
    return Finish(record, FT_INVALID_PARAMETER);
  }
  chip->state.inTransferSize = inTransferSize;
  chip->state.outTransferSize = outTransferSize;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::GetDeviceInfo(FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                                      char* serialNumber, char* description) {
  DriverCallRecord record = Begin(DriverCall::kGetDeviceInfo);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  const FtDeviceListInfoNode& node = chip->device.node;
  if (type != nullptr) *type = node.Type;
  if (id != nullptr) *id = node.ID;
  if (serialNumber != nullptr) CopyText(serialNumber, sizeof node.SerialNumber, node.SerialNumber);
  if (description != nullptr) CopyText(description, sizeof node.Description, node.Description);
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::Purge(FtHandle handle, std::uint32_t mask) {
  DriverCallRecord record = Begin(DriverCall::kPurge);
  record.a = mask;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  // Only what has arrived is thrown away: bytes still on the wire come in
  // afterwards, as they do on the real chip. The transmit side is always
  // empty (Write returns once its bytes are out).
  if (mask & FT_PURGE_RX) chip->DropReady(clock_.NowMicros());
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::ResetDevice(FtHandle handle) {
  DriverCallRecord record = Begin(DriverCall::kResetDevice);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  chip->DropReady(clock_.NowMicros());
  return Finish(record, FT_OK);
}

// ---- Moving bytes ----

FtStatus SimFtdiDriver::Write(FtHandle handle, const void* buffer, std::uint32_t count,
                              std::uint32_t* written) {
  DriverCallRecord record = Begin(DriverCall::kWrite);
  record.a = count;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (bytes != nullptr) record.data.assign(bytes, bytes + count);
  if (written != nullptr) *written = 0;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (written == nullptr || (bytes == nullptr && count > 0)) {
    return Finish(record, FT_INVALID_PARAMETER);
  }

  std::optional<std::uint32_t> stallAfter;
  if (write_timeout_in_ > 0 && --write_timeout_in_ == 0) stallAfter = write_timeout_bytes_;
  const std::int64_t timeout = std::int64_t{chip->state.writeTimeoutMs} * 1000;
  const std::int64_t deadline = clock_.NowMicros() + timeout;
  const LineSettings line = chip->state.line;
  const std::int64_t perByte = CharacterMicros(line);

  std::uint32_t n = 0;
  for (; n < count; ++n) {
    if (stallAfter && n == *stallAfter) {
      if (timeout > 0) clock_.AdvanceTo(deadline);
      break;
    }
    const std::int64_t sent = std::max(clock_.NowMicros(), chip->txLineFree) + perByte;
    if (timeout > 0 && sent > deadline) {
      clock_.AdvanceTo(deadline);
      break;
    }
    clock_.AdvanceTo(sent);
    chip->txLineFree = sent;
    if (chip->unplugged || PullsCableAt(*chip)) {
      *written = n;
      record.result = n;
      return Finish(record, FT_IO_ERROR);
    }
    if (chip->device.controller != nullptr) {
      chip->device.controller->ReceiveFromHost(bytes[n], line);
    }
  }
  *written = n;
  record.result = n;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::Read(FtHandle handle, void* buffer, std::uint32_t count,
                             std::uint32_t* read) {
  DriverCallRecord record = Begin(DriverCall::kRead);
  record.a = count;
  if (read != nullptr) *read = 0;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (read == nullptr || (buffer == nullptr && count > 0)) {
    return Finish(record, FT_INVALID_PARAMETER);
  }

  const std::int64_t timeout = chip->state.readTimeoutMs > 0
                                   ? std::int64_t{chip->state.readTimeoutMs} * 1000
                                   : kForeverMicros;
  const std::int64_t deadline = clock_.NowMicros() + timeout;
  for (;;) {
    const std::int64_t now = clock_.NowMicros();
    const std::size_t ready = chip->Ready(now);
    if (ready >= count) break;
    // Wait for whatever comes first: the count-th byte already on the wire
    // (or the last one there), or the next thing the guider does.
    std::optional<std::int64_t> next = clock_.NextEventTime();
    if (ready < chip->rx.size()) {
      const std::int64_t arrival = chip->rx[std::min<std::size_t>(count, chip->rx.size()) - 1].at;
      next = next ? std::min(*next, arrival) : arrival;
    }
    if (!next) {
      // Nothing will ever come: the time-out runs out in full.
      if (chip->state.readTimeoutMs > 0) clock_.AdvanceTo(deadline);
      if (chip->unplugged) return Finish(record, FT_IO_ERROR);
      break;
    }
    if (*next > deadline) {
      clock_.AdvanceTo(deadline);
      if (chip->unplugged) return Finish(record, FT_IO_ERROR);
      break;
    }
    const std::size_t pendingBefore = clock_.pending_events();
    clock_.AdvanceTo(std::max(*next, now));
    if (chip->unplugged) return Finish(record, FT_IO_ERROR);
    // Guard against a clock that cannot move (a read made from inside a
    // clock event): give up rather than spin.
    if (clock_.NowMicros() == now && clock_.pending_events() == pendingBefore &&
        chip->Ready(now) == ready) {
      break;
    }
  }

  const std::size_t take = std::min<std::size_t>(count, chip->Ready(clock_.NowMicros()));
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i < take; ++i) {
    out[i] = chip->rx.front().byte;
    record.data.push_back(out[i]);
    chip->rx.pop_front();
  }
  *read = static_cast<std::uint32_t>(take);
  record.result = *read;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::GetQueueStatus(FtHandle handle, std::uint32_t* rxBytes) {
  DriverCallRecord record = Begin(DriverCall::kGetQueueStatus);
  if (rxBytes != nullptr) *rxBytes = 0;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (rxBytes == nullptr) return Finish(record, FT_INVALID_PARAMETER);
  *rxBytes = static_cast<std::uint32_t>(ReadyAfterPoll(*chip));
  if (chip->unplugged) {
    *rxBytes = 0;
    return Finish(record, FT_IO_ERROR);
  }
  record.result = *rxBytes;
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::GetStatus(FtHandle handle, std::uint32_t* rxBytes, std::uint32_t* txBytes,
                                  std::uint32_t* eventStatus) {
  DriverCallRecord record = Begin(DriverCall::kGetStatus);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  const auto ready = static_cast<std::uint32_t>(ReadyAfterPoll(*chip));
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (rxBytes != nullptr) *rxBytes = ready;
  if (txBytes != nullptr) *txBytes = 0;
  if (eventStatus != nullptr) *eventStatus = 0;
  record.result = ready;
  return Finish(record, FT_OK);
}

std::size_t SimFtdiDriver::ReadyAfterPoll(Chip& chip) {
  const std::int64_t now = clock_.NowMicros();
  const std::size_t ready = chip.Ready(now);
  const bool onTheWire = ready < chip.rx.size();
  if (!onTheWire && (ready > 0 || !clock_.NextEventTime())) return ready;
  clock_.AdvanceTo(now + kUsbFrameMicros);
  return chip.Ready(clock_.NowMicros());
}

// ---- CBUS lines ----

FtStatus SimFtdiDriver::SetBitMode(FtHandle handle, std::uint8_t mask, std::uint8_t mode) {
  DriverCallRecord record = Begin(DriverCall::kSetBitMode);
  record.a = mask;
  record.b = mode;
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  ChipState& state = chip->state;
  const std::uint8_t oldDirections = state.cbusDirections;
  const std::uint8_t oldLevels = state.cbusLevels;
  state.bitMode = mode;
  if (mode == FT_BITMODE_CBUS_BITBANG) {
    state.cbusDirections = static_cast<std::uint8_t>(mask >> 4);
    state.cbusLevels = static_cast<std::uint8_t>(mask & 0x0F);
  } else if (mode == FT_BITMODE_RESET) {
    state.cbusDirections = 0;  // every CBUS line back to an input
  }
  // Other modes drive the data pins, which nothing here looks at.
  if (state.cbusDirections != oldDirections || state.cbusLevels != oldLevels) NotifyCbus(*chip);
  return Finish(record, FT_OK);
}

FtStatus SimFtdiDriver::GetBitMode(FtHandle handle, std::uint8_t* mode) {
  DriverCallRecord record = Begin(DriverCall::kGetBitMode);
  FtStatus status = FT_OK;
  if (Injected(record.call, &status)) return Finish(record, status);
  Chip* chip = Find(handle);
  if (chip == nullptr) return Finish(record, FT_INVALID_HANDLE);
  if (chip->unplugged) return Finish(record, FT_IO_ERROR);
  if (mode == nullptr) return Finish(record, FT_INVALID_PARAMETER);
  *mode = chip->PinByte();
  record.result = *mode;
  return Finish(record, FT_OK);
}

// ---- Trace helpers ----

std::vector<std::uint8_t> SimFtdiDriver::BitModeMasks() const {
  std::vector<std::uint8_t> masks;
  for (const DriverCallRecord& r : calls_) {
    if (r.call == DriverCall::kSetBitMode && r.status == FT_OK) {
      masks.push_back(static_cast<std::uint8_t>(r.a));
    }
  }
  return masks;
}

std::vector<std::uint8_t> SimFtdiDriver::WrittenBytes() const {
  std::vector<std::uint8_t> bytes;
  for (const DriverCallRecord& r : calls_) {
    if (r.call == DriverCall::kWrite && r.status == FT_OK) {
      bytes.insert(bytes.end(), r.data.begin(),
                   r.data.begin() + std::min<std::size_t>(r.result, r.data.size()));
    }
  }
  return bytes;
}

std::vector<std::uint8_t> SimFtdiDriver::ReadBytes() const {
  std::vector<std::uint8_t> bytes;
  for (const DriverCallRecord& r : calls_) {
    if (r.call == DriverCall::kRead && r.status == FT_OK) {
      bytes.insert(bytes.end(), r.data.begin(), r.data.end());
    }
  }
  return bytes;
}

std::vector<DriverCallRecord> SimFtdiDriver::CallsOf(DriverCall call) const {
  std::vector<DriverCallRecord> found;
  for (const DriverCallRecord& r : calls_) {
    if (r.call == call) found.push_back(r);
  }
  return found;
}

// ---- Faults ----

void SimFtdiDriver::FailCall(DriverCall call, FtStatus status, unsigned n) {
  call_faults_.push_back({call, status, n});
}

void SimFtdiDriver::InjectWriteTimeout(unsigned n, std::uint32_t bytesBefore) {
  write_timeout_in_ = n;
  write_timeout_bytes_ = bytesBefore;
}

void SimFtdiDriver::UnplugAtLineByte(std::size_t n) {
  if (n > 0) unplug_at_ = line_bytes_ + n;
}

void SimFtdiDriver::Unplug(std::size_t index) {
  Chip& chip = *chips_.at(index);
  chip.unplugged = true;
  chip.rx.clear();
}

void SimFtdiDriver::Replug(std::size_t index) {
  Chip& chip = *chips_.at(index);
  chip.unplugged = false;
  chip.state.open = false;
  chip.rx.clear();
  chip.device.node.Flags &= ~FT_FLAGS_OPENED;
  chip.device.node.ftHandle = nullptr;
}

bool SimFtdiDriver::unplugged(std::size_t index) const { return chips_.at(index)->unplugged; }

void SimFtdiDriver::ClearFaults() {
  unplug_at_.reset();
  call_faults_.clear();
  write_timeout_in_ = 0;
  write_timeout_bytes_ = 0;
}

}  // namespace ktal::sim
