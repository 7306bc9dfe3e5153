// SPDX-License-Identifier: GPL-3.0-or-later
// The camera-mode requests against a guider in file-system or camera mode,
// one table per request or per family of outcomes. Every row starts a fresh
// guider, injects its fault and checks the bytes each way, the waits, the
// result, the message and the state of the link.
#include "tests/camera/camera_protocol_cases.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>

#include "camera/camera_protocol.h"
#include "filesystem/fs_protocol.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"

namespace ktal::testing {

namespace {

using sim::ControllerMode;
using Bytes = std::vector<std::uint8_t>;
using Waits = std::vector<std::uint32_t>;
// A fault put in place once the guider is ready for the request.
using Fault = std::function<void(GuiderRig&)>;

constexpr std::int64_t kSecond = 1'000'000;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Repeat(const Bytes& part, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// What a function is to leave in g_protocolMessage.
struct Message {
  enum Kind { kUntouched, kFramed, kDeviceError };
  Kind kind = kUntouched;
  std::string text;

  std::string Expected() const {
    switch (kind) {
      case kUntouched:
        return kEarlierText;
      case kFramed:
        return text + "\n (" + g_device.errorText + ")\n";
      case kDeviceError:
        return std::string("FT232 error\n (") + g_device.errorText + ")\n";
    }
    return {};
  }
};

const Message kNoMessage{};
const Message kDeviceError{Message::kDeviceError, {}};

// Where the first `count` bytes of two buffers part, for a readable failure.
::testing::AssertionResult SameBytes(const std::uint8_t* got, const std::uint8_t* want,
                                     std::size_t count) {
  const auto diff = std::mismatch(got, got + count, want);
  if (diff.first == got + count) return ::testing::AssertionSuccess();
  const auto at = static_cast<std::size_t>(diff.first - got);
  return ::testing::AssertionFailure() << "byte " << at << " of " << count << " is "
                                       << int{*diff.first} << ", expected " << int{*diff.second};
}

HotPixelEntry Entry(int x, int y, int flags) {
  return {static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
          static_cast<std::uint8_t>(flags)};
}

HotPixelMapRecord Maps(std::uint8_t marker, std::initializer_list<HotPixelEntry> table1x1,
                       std::initializer_list<HotPixelEntry> table2x2) {
  HotPixelMapRecord record{};
  record.marker = marker;
  record.count1x1 = static_cast<std::uint8_t>(table1x1.size());
  std::copy(table1x1.begin(), table1x1.end(), record.entries1x1);
  record.count2x2 = static_cast<std::uint8_t>(table2x2.size());
  std::copy(table2x2.begin(), table2x2.end(), record.entries2x2);
  return record;
}

Bytes EntryBytes(std::initializer_list<HotPixelEntry> entries) {
  Bytes bytes;
  for (const HotPixelEntry& e : entries) {
    bytes.insert(
        bytes.end(),
        {static_cast<std::uint8_t>(e.x & 0xFF), static_cast<std::uint8_t>(e.x >> 8),
         static_cast<std::uint8_t>(e.y & 0xFF), static_cast<std::uint8_t>(e.y >> 8), e.flags});
  }
  return bytes;
}

// Puts a map into the camera's memory as the camera keeps it.
void Store(sim::CameraState& camera, std::uint8_t marker, std::uint8_t count1x1,
           const Bytes& table1x1, std::uint8_t count2x2, const Bytes& table2x2) {
  camera.memory[0] = marker;
  camera.memory[1] = count1x1;
  std::copy(table1x1.begin(), table1x1.end(), camera.memory.begin() + 2);
  camera.memory[256] = count2x2;
  std::copy(table2x2.begin(), table2x2.end(), camera.memory.begin() + 257);
}

bool SameRecord(const HotPixelMapRecord& a, const HotPixelMapRecord& b) {
  return a.marker == b.marker && a.count1x1 == b.count1x1 && a.count2x2 == b.count2x2 &&
         std::memcmp(a.entries1x1, b.entries1x1, sizeof(HotPixelEntry) * a.count1x1) == 0 &&
         std::memcmp(a.entries2x2, b.entries2x2, sizeof(HotPixelEntry) * a.count2x2) == 0;
}

ExposureRequest Small(int width, int height) {
  ExposureRequest request = DarkFrameRequest();
  request.width = width;
  request.height = height;
  return request;
}

// The bytes of one SendCameraCommand on the line: 5A, length, payload.
Bytes CommandBytes(const Bytes& payload) {
  return Join({{0x5A, static_cast<std::uint8_t>(payload.size())}, payload});
}

Bytes DownloadCommand(int byteCount, int width) {
  return {0xEE,
          static_cast<std::uint8_t>(byteCount & 0xFF),
          static_cast<std::uint8_t>((byteCount >> 8) & 0xFF),
          static_cast<std::uint8_t>(byteCount >> 16),
          static_cast<std::uint8_t>(width & 0xFF),
          static_cast<std::uint8_t>(width >> 8)};
}

Bytes BlockRequests(int from, int to) {
  Bytes requests;
  for (int r = from; r <= to; ++r) requests.push_back(static_cast<std::uint8_t>(r));
  return requests;
}

// What the host sends for one exposure up to its download command.
Bytes ExposureDialogue(const Bytes& block) {
  return Join({CommandBytes({0xC4, 0x00}), CommandBytes(block), {0x55}});
}

const Bytes kDarkBlock = {0xF0, 0x02, 0x46, 0x02, 0x19, 0x00, 0x08,
                          0x00, 0x24, 0xF4, 0x01, 0x01, 0x40};

}  // namespace

// ---- Fixture ----

void CameraProtocolTest::StartInFileSystemMode() {
  StartRig();
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0) << g_protocolMessage;
  ASSERT_EQ(EnterFileSystemMode(), 0) << g_protocolMessage;
  SetCameraTraceHook([this](const char* line) { traceLines_.emplace_back(line); });
  ClearTraces();
}

void CameraProtocolTest::StartInCameraMode(bool cameraOn) {
  ASSERT_NO_FATAL_FAILURE(StartInFileSystemMode());
  ASSERT_EQ(EnterCameraMode(), 0) << g_protocolMessage;
  camera().state = cameraOn ? 1 : 0;
  ClearTraces();
}

void CameraProtocolTest::ClearTraces() {
  GuiderRigTest::ClearTraces();
  traceLines_.clear();
}

void CameraProtocolTest::TearDown() {
  SetCameraTraceHook(nullptr);
  GuiderRigTest::TearDown();
}

std::vector<std::uint32_t> CameraProtocolTest::waits() const {
  std::vector<std::uint32_t> waits = rig_->clock().waits();
  std::erase(waits, 1u);
  return waits;
}

void CameraProtocolTest::ExpectRunningModeLink() {
  ASSERT_TRUE(g_device.IsOpen());
  clock().AdvanceBy(2 * kSecond);
  ASSERT_EQ(g_device.FlushInBuffer(), 0) << g_device.errorText;
  guider().clear_traces();
  const bool answering = guider().mode() == ControllerMode::kCamera;
  EXPECT_EQ(QueryCameraState(), answering ? camera().state : kCameraNotAcknowledged);
  for (const sim::LineTraceEntry& entry : guider().line_trace()) {
    if (entry.direction == sim::LineDirection::kHostToGuider) {
      EXPECT_EQ(entry.baud, 250000u);
    }
  }
  EXPECT_EQ(received().empty(), !answering);
  guider().SetSilent(true);
  const std::int64_t before = clock().NowMicros();
  EXPECT_EQ(QueryCameraState(), kCameraNotAcknowledged);
  const std::int64_t took = clock().NowMicros() - before;
  EXPECT_GE(took, kSecond);
  EXPECT_LT(took, kSecond + 50'000);
  guider().SetSilent(false);
}

// ---- Entering and leaving camera mode ----

namespace {

struct ModeCase {
  const char* name;
  Fault fault;
  int result;
  Bytes received;
  Bytes sent;
  Waits waits;
  Message message;
  bool open;
  std::optional<ControllerMode> mode;
};

const Bytes kLeaveFs = Repeat({0xD3, 0x00}, 5);
const Bytes kLeftFs = Repeat({0xD3, 0x55}, 5);

}  // namespace

TEST_P(CameraProtocolTest, EnterCameraMode) {
  const ModeCase cases[] = {
      {"accepted",
       nullptr,
       0,
       {0xD3, 0x80, 0xDC},
       {0xD3, 0xAA, 0xDC},
       {50},
       kNoMessage,
       true,
       ControllerMode::kCamera},
      // The guider must not stay in file-system mode after a refusal.
      {"refused: file-system mode is left again",
       [](GuiderRig& r) { r.features().camera.cameraModeSupported = false; },
       100,
       Join({{0xD3, 0x80, 0xDC}, kLeaveFs}),
       Join({{0xD3, 0xAA, 0x00}, kLeftFs}),
       {},
       kNoMessage,
       true,
       ControllerMode::kNormal},
      // Refused is refused, whatever leaving file-system mode then gave.
      {"refused, and leaving file-system mode fails",
       [](GuiderRig& r) {
         r.features().camera.cameraModeSupported = false;
         r.guider().ReplaceSentByte(5, 0x42);
       },
       100,
       Join({{0xD3, 0x80, 0xDC}, {0xD3, 0x00}}),
       {0xD3, 0xAA, 0x00, 0xD3, 0x42},
       {},
       {Message::kFramed, "FS mode: invalid answer byte\n"},
       false,
       std::nullopt},
      {"file-system mode refused",
       [](GuiderRig& r) { r.features().fileSystem.supported = false; },
       1,
       {0xD3},
       {},
       {},
       {Message::kFramed,
        "FS mode: unsupported command (no ACK received)\nThe firmware may not support File System "
        "handling...\n"},
       false,
       ControllerMode::kNormal},
      {"no answer to the camera-mode request",
       [](GuiderRig& r) { r.features().camera.faults.acks[0xDC] = {}; },
       -1,
       {0xD3, 0x80, 0xDC},
       {0xD3, 0xAA},
       {},
       kDeviceError,
       false,
       std::nullopt},
  };
  for (const ModeCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInFileSystemMode());
    // Back in normal mode: the entry starts with file-system mode.
    ASSERT_EQ(LeaveFileSystemMode(), 0);
    ClearTraces();
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(EnterCameraMode(), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(sent(), row.sent);
    EXPECT_EQ(waits(), row.waits);
    EXPECT_EQ(std::string(g_protocolMessage), row.message.Expected());
    EXPECT_EQ(g_device.IsOpen(), row.open);
    if (row.mode) {
      EXPECT_EQ(guider().mode(), *row.mode);
    }
  }
}

TEST_P(CameraProtocolTest, LeaveCameraMode) {
  const ModeCase cases[] = {
      {"left, through file-system mode",
       nullptr,
       0,
       Join({{0xFF}, kLeaveFs}),
       kLeftFs,
       {50},
       kNoMessage,
       true,
       ControllerMode::kNormal},
      {"file-system mode not left",
       [](GuiderRig& r) { r.features().fileSystem.supported = false; },
       1,
       {0xFF, 0xD3},
       {},
       {50},
       {Message::kFramed, "FS mode: unsupported command (no ACK received)\n"},
       false,
       ControllerMode::kFileSystem},
      {"link already closed",
       [](GuiderRig&) { g_device.Close(); },
       -1,
       {},
       {},
       {},
       kDeviceError,
       false,
       ControllerMode::kCamera},
  };
  for (const ModeCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(LeaveCameraMode(), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(sent(), row.sent);
    EXPECT_EQ(waits(), row.waits);
    EXPECT_EQ(std::string(g_protocolMessage), row.message.Expected());
    EXPECT_EQ(g_device.IsOpen(), row.open);
    if (row.mode) {
      EXPECT_EQ(guider().mode(), *row.mode);
    }
  }
}

// ---- The camera's state and start ----

TEST_P(CameraProtocolTest, StateQueryAndStart) {
  struct Case {
    const char* name;
    bool start;  // StartCamera, else QueryCameraState
    bool cameraOn;
    Fault fault;
    int result;
    Bytes sent;
    std::uint8_t stateAfter;
  };
  const auto startAfter = [](std::int64_t micros) {
    return [micros](GuiderRig& r) { r.features().camera.startMicros = micros; };
  };
  const Case cases[] = {
      {"camera off", false, false, nullptr, 0, {0xC0, 0x00}, 0},
      {"camera on", false, true, nullptr, 1, {0xC0, 0x01}, 1},
      // The state byte comes where the echo should: not acknowledged.
      {"no echo",
       false,
       false,
       [](GuiderRig& r) { r.features().camera.faults.acks[0xC0] = {}; },
       -2,
       {0x00},
       0},
      {"state byte lost",
       false,
       true,
       [](GuiderRig& r) { r.guider().DropSentByte(2); },
       -1,
       {0xC0},
       1},
      // The host waits up to 3 s for the camera to start.
      {"started after 2.5 s", true, false, startAfter(2'500'000), 0, {0xC1, 0x00}, 1},
      {"camera will not start",
       true,
       false,
       [](GuiderRig& r) { r.features().camera.faults.startAnswer = 0x02; },
       2,
       {0xC1, 0x02},
       0},
      {"start answered too late", true, false, startAfter(3'500'000), -1, {0xC1}, 0},
      {"start not acknowledged",
       true,
       false,
       [](GuiderRig& r) { r.features().camera.faults.acks[0xC1] = {0x42}; },
       -2,
       {0x42},
       0},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode(row.cameraOn));
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(row.start ? StartCamera() : QueryCameraState(), row.result);
    EXPECT_EQ(received(), Bytes{static_cast<std::uint8_t>(row.start ? 0xC1 : 0xC0)});
    EXPECT_EQ(sent(), row.sent);
    EXPECT_EQ(camera().state, row.stateAfter);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
    // The longer read time-out of a start ends with the start, however it
    // went.
    ExpectRunningModeLink();
  }
}

// ---- Camera memory ----

TEST_P(CameraProtocolTest, ReadCameraMemory) {
  struct Case {
    const char* name;
    int count;
    std::uint16_t address;
    Fault fault;
    int result;
    Bytes received;
    Bytes sent;
  };
  const auto status = [](std::uint16_t word) {
    return [word](GuiderRig& r) { r.features().camera.faults.memoryStatus = word; };
  };
  const Case cases[] = {
      {"2x2 table, address low byte first",
       5,
       257,
       nullptr,
       0,
       {0x33, 0x05, 0x01, 0x01},
       {0x33, 0x00, 0x00, 0x0A, 0x00, 0x0B, 0x00, 0x0F}},
      // The bytes follow the status whatever it says.
      {"status word",
       2,
       0,
       status(0x0201),
       0x0201,
       {0x33, 0x02, 0x00, 0x00},
       {0x33, 0x01, 0x02, 0x00, 0x00}},
      {"beyond the memory",
       4,
       510,
       nullptr,
       0xE1,
       {0x33, 0x04, 0xFE, 0x01},
       {0x33, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x00}},
      // A second status byte counts only with a nonzero first one.
      {"zero status with a stray second byte",
       2,
       0,
       [](GuiderRig& r) { r.guider().ReplaceSentByte(3, 0x77); },
       0,
       {0x33, 0x02, 0x00, 0x00},
       {0x33, 0x00, 0x77, 0xEE, 0x03}},
      {"count 0", 0, 0, nullptr, 1, {}, {}},
      // The count goes out as one byte; 256 would ask for none.
      {"count 256", 256, 0, nullptr, 1, {}, {}},
      {"no echo",
       2,
       0,
       [](GuiderRig& r) { r.features().camera.faults.acks[0x33] = {}; },
       -2,
       {0x33},
       {}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    Store(camera(), 0xEE, 3, {}, 1, {0x0A, 0x00, 0x0B, 0x00, 0x0F});
    if (row.fault) row.fault(*rig_);
    std::uint8_t bytes[256] = {};
    EXPECT_EQ(ReadCameraMemory(row.count, row.address, bytes), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(sent(), row.sent);
    if (row.result >= 0 && row.count > 0 && row.count < 256) {
      const Bytes& s = row.sent;
      EXPECT_EQ(Bytes(bytes, bytes + row.count), Bytes(s.end() - row.count, s.end()));
    }
    EXPECT_TRUE(g_device.IsOpen());
  }
}

TEST_P(CameraProtocolTest, WriteCameraMemory) {
  struct Case {
    const char* name;
    Fault fault;
    int result;
    Bytes sent;
    bool written;
  };
  const Case cases[] = {
      {"written", nullptr, 0, {0x3C, 0x00, 0x00}, true},
      // The camera writes before it answers; the host waits up to 10 s.
      {"slow camera",
       [](GuiderRig& r) { r.features().camera.memoryWriteMicros = 8 * kSecond; },
       0,
       {0x3C, 0x00, 0x00},
       true},
      {"too slow a camera",
       [](GuiderRig& r) { r.features().camera.memoryWriteMicros = 11 * kSecond; },
       -1,
       {0x3C},
       true},
      {"status word",
       [](GuiderRig& r) { r.features().camera.faults.memoryStatus = 0x0305; },
       0x0305,
       {0x3C, 0x05, 0x03},
       false},
      {"no echo",
       [](GuiderRig& r) { r.features().camera.faults.acks[0x3C] = {0x3D}; },
       -2,
       {0x3D},
       false},
  };
  const Bytes data = {0x11, 0x22, 0x33};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(WriteCameraMemory(3, 300, data.data()), row.result);
    const Bytes request = {0x3C, 0x03, 0x2C, 0x01};
    EXPECT_EQ(received(), row.result == -2 ? Bytes{0x3C} : Join({request, data}));
    EXPECT_EQ(sent(), row.sent);
    EXPECT_EQ(Bytes(camera().memory.begin() + 300, camera().memory.begin() + 303),
              row.written ? data : Bytes(3, 0xFF));
    ExpectRunningModeLink();
  }
}

// ---- The hot-pixel maps ----

TEST_P(CameraProtocolTest, ReadHotPixelMaps) {
  struct Case {
    const char* name;
    std::function<void(sim::CameraState&)> stored;
    Fault fault;
    int result;
    Bytes received;
    HotPixelMapRecord expected;
  };
  const Bytes table1x1 = EntryBytes({Entry(600, 100, 15), Entry(20, 100, 15), Entry(0, 0, 0)});
  const Bytes table2x2 = EntryBytes({Entry(187, 145, 15), Entry(300, 0, 14)});
  const HotPixelMapRecord both =
      Maps(0xEE, {Entry(600, 100, 15), Entry(20, 100, 15), Entry(0, 0, 0)},
           {Entry(187, 145, 15), Entry(300, 0, 14)});
  const HotPixelMapRecord none = Maps(0xFF, {}, {});
  const Bytes readMarker = {0x33, 0x02, 0x00, 0x00};
  const Bytes read1x1 = {0x33, 0x0F, 0x02, 0x00};
  const Bytes readCount2x2 = {0x33, 0x01, 0x00, 0x01};
  const Bytes read2x2 = {0x33, 0x0A, 0x01, 0x01};
  const Case cases[] = {
      {"erased store: no maps", [](sim::CameraState&) {}, nullptr, 0, readMarker, none},
      {"both tables", [&](sim::CameraState& c) { Store(c, 0xEE, 3, table1x1, 2, table2x2); },
       nullptr, 0, Join({readMarker, read1x1, readCount2x2, read2x2}), both},
      {"empty 1x1 table is not read",
       [&](sim::CameraState& c) { Store(c, 0xEE, 0, {}, 2, table2x2); }, nullptr, 0,
       Join({readMarker, readCount2x2, read2x2}),
       Maps(0xEE, {}, {Entry(187, 145, 15), Entry(300, 0, 14)})},
      // More than 50 entries cannot be a whole map: nothing past it is read.
      {"1x1 count 51", [&](sim::CameraState& c) { Store(c, 0xEE, 51, table1x1, 2, table2x2); },
       nullptr, 0, readMarker, none},
      {"2x2 count 60", [&](sim::CameraState& c) { Store(c, 0xEE, 3, table1x1, 60, table2x2); },
       nullptr, 0, Join({readMarker, read1x1, readCount2x2}), none},
      // The 1x1 read's first status byte: a failing read leaves no
      // half-read map behind.
      {"status in the second read",
       [&](sim::CameraState& c) { Store(c, 0xEE, 3, table1x1, 2, table2x2); },
       [](GuiderRig& r) { r.guider().ReplaceSentByte(7, 0x07); }, 7, Join({readMarker, read1x1}),
       none},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    row.stored(camera());
    if (row.fault) row.fault(*rig_);
    // What the window held before: a read must replace all of it.
    HotPixelMapRecord record = Maps(0xEE, {Entry(1, 1, 1)}, {Entry(2, 2, 2)});
    EXPECT_EQ(ReadHotPixelMaps(record), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(record.marker, row.expected.marker);
    EXPECT_EQ(record.count1x1, row.expected.count1x1);
    EXPECT_EQ(record.count2x2, row.expected.count2x2);
    if (row.expected.count1x1 + row.expected.count2x2 > 0) {
      EXPECT_TRUE(SameRecord(record, row.expected));
    }
  }
}

TEST_P(CameraProtocolTest, StoreHotPixelMaps) {
  struct Case {
    const char* name;
    HotPixelMapRecord record;
    Fault fault;
    int result;
    Bytes received;
    // What the camera holds afterwards: marker, then each table's count.
    std::uint8_t marker;
    std::uint8_t count1x1;
    std::uint8_t count2x2;
  };
  const HotPixelMapRecord two =
      Maps(0xEE, {Entry(600, 100, 15), Entry(751, 581, 5)}, {Entry(375, 290, 3)});
  const Bytes write1x1 = Join({{0x3C, 0x0C, 0x00, 0x00, 0xFF, 0x02},
                               EntryBytes({Entry(600, 100, 15), Entry(751, 581, 5)})});
  const Bytes write2x2 = Join({{0x3C, 0x06, 0x00, 0x01, 0x01}, EntryBytes({Entry(375, 290, 3)})});
  HotPixelMapRecord tooMany1x1 = two;
  tooMany1x1.count1x1 = 51;
  HotPixelMapRecord tooMany2x2 = two;
  tooMany2x2.count2x2 = 51;
  const Case cases[] = {
      {"empty maps: the tables, then the marker", Maps(0xFF, {}, {}), nullptr, 0,
       Join({{0x3C, 0x02, 0x00, 0x00, 0xFF, 0x00},
             {0x3C, 0x01, 0x00, 0x01, 0x00},
             {0x3C, 0x01, 0x00, 0x00, 0xFF}}),
       0xFF, 0, 0},
      {"two tables under an invalid marker, then the marker", two, nullptr, 0,
       Join({write1x1, write2x2, {0x3C, 0x01, 0x00, 0x00, 0xEE}}), 0xEE, 2, 1},
      {"1x1 count 51", tooMany1x1, nullptr, 99, {}, 0xEE, 4, 1},
      {"2x2 count 51", tooMany2x2, nullptr, 99, {}, 0xEE, 4, 1},
      // Switched off half-way: the old maps are no longer valid, and the
      // new ones are not valid yet.
      {"switched off in the 2x2 table", two,
       [&](GuiderRig& r) { r.guider().PowerOffAfterReceived(write1x1.size() + 5); }, -1,
       Join({write1x1, {0x3C, 0x06, 0x00, 0x01, 0x01}}), 0xFF, 2, 1},
      {"first table refused", two,
       [](GuiderRig& r) { r.features().camera.faults.memoryStatus = 0x0002; }, 2, write1x1, 0xEE, 4,
       1},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    // Older maps in the camera: four 1x1 entries and one 2x2 entry.
    Store(camera(), 0xEE, 4, Bytes(20, 0x01), 1, Bytes(5, 0x02));
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(StoreHotPixelMaps(row.record), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(camera().memory[0], row.marker);
    EXPECT_EQ(camera().memory[1], row.count1x1);
    EXPECT_EQ(camera().memory[256], row.count2x2);
  }
}

// ---- Camera commands and parameters ----

TEST_P(CameraProtocolTest, SendCameraCommand) {
  struct Case {
    const char* name;
    Bytes payload;
    int length;
    Fault fault;
    int result;
    Bytes received;
    Bytes sent;
    std::vector<std::string> trace;
  };
  const std::string acked = "ACKread($5a)=0: $5a, $5a";
  const Case cases[] = {
      {"accepted",
       {0xD9, 0x08},
       2,
       nullptr,
       0,
       {0x5A, 0x02, 0xD9, 0x08},
       {0x5A, 0x00, 0x00},
       {acked}},
      {"accepted with an answer",
       {0xC4, 0x00},
       2,
       [](GuiderRig& r) { r.features().camera.faults.prepareAnswer = 0x07; },
       0,
       {0x5A, 0x02, 0xC4, 0x00},
       {0x5A, 0x00, 0x07},
       {acked}},
      {"length 257", Bytes(257, 0x01), 257, nullptr, 1, {}, {}, {}},
      {"refused",
       {0xD9, 0x08},
       2,
       [](GuiderRig& r) { r.features().camera.faults.refuseCommand = 1; },
       3,
       {0x5A, 0x02, 0xD9, 0x08},
       {0x5A, 0x0F},
       {acked}},
      {"no echo",
       {0xD9, 0x08},
       2,
       [](GuiderRig& r) { r.features().camera.faults.acks[0x5A] = {}; },
       2,
       {0x5A},
       {},
       {"ACKread($5a)=-1: $5a, $00"}},
      {"wrong echo",
       {0xD9, 0x08},
       2,
       [](GuiderRig& r) { r.features().camera.faults.acks[0x5A] = {0x42}; },
       2,
       {0x5A},
       {0x42},
       {"ACKread($5a)=1: $5a, $42"}},
      // The answer byte is taken for the acceptance; then nothing comes.
      {"acceptance lost",
       {0xD9, 0x08},
       2,
       [](GuiderRig& r) { r.guider().DropSentByte(2); },
       -1,
       {0x5A, 0x02, 0xD9, 0x08},
       {0x5A, 0x00},
       {acked}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    if (row.fault) row.fault(*rig_);
    g_lastCameraAnswer = 0x99;
    EXPECT_EQ(SendCameraCommand(row.payload.data(), row.length), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(sent(), row.sent);
    EXPECT_EQ(traceLines_, row.trace);
    if (row.result == 0) {
      EXPECT_EQ(g_lastCameraAnswer, row.sent.back());
    }
    EXPECT_TRUE(g_device.IsOpen());
  }
}

TEST_P(CameraProtocolTest, SetCameraParameters) {
  struct Case {
    const char* name;
    std::uint8_t v6B;
    int vD9;
    int vD0;
    Fault fault;
    int result;
    Bytes received;
  };
  const Bytes query = {0x58, 0x06};
  const Case cases[] = {
      {"the dark-frame run's values", 0, 8, 4, nullptr, 0,
       Join({CommandBytes({0xD9, 8}), CommandBytes({0xD0, 0}), CommandBytes({0x6B, 0}), query})},
      {"clamped from above", 7, 15, 30, nullptr, 0,
       Join({CommandBytes({0xD9, 10}), CommandBytes({0xD0, 15}), CommandBytes({0x6B, 7}), query})},
      {"clamped from below", 0, -3, 2, nullptr, 0,
       Join({CommandBytes({0xD9, 0}), CommandBytes({0xD0, 0}), CommandBytes({0x6B, 0}), query})},
      {"second command refused", 0, 8, 4,
       [](GuiderRig& r) { r.features().camera.faults.refuseCommand = 2; }, 3,
       Join({CommandBytes({0xD9, 8}), CommandBytes({0xD0, 0})})},
      {"query not acknowledged", 0, 8, 4,
       [](GuiderRig& r) { r.features().camera.faults.acks[0x58] = {}; }, 2,
       Join({CommandBytes({0xD9, 8}), CommandBytes({0xD0, 0}), CommandBytes({0x6B, 0}), {0x58}})},
      {"reply of five bytes", 0, 8, 4,
       [](GuiderRig& r) { r.features().camera.faults.geometryReplyBytes = 5; }, 4,
       Join({CommandBytes({0xD9, 8}), CommandBytes({0xD0, 0}), CommandBytes({0x6B, 0}), query})},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(SetCameraParameters(row.v6B, row.vD9, row.vD0), row.result);
    EXPECT_EQ(received(), row.received);
    if (row.result == 0) {
      EXPECT_EQ(sent(),
                Join({Repeat({0x5A, 0x00, 0x00}, 3), {0x58, 0xF0, 0x02, 0x46, 0x02, 0x80, 0x1A}}));
    }
    EXPECT_TRUE(waits().empty());
    EXPECT_TRUE(g_device.IsOpen());
  }
}

// ---- Exposure and download ----

TEST_P(CameraProtocolTest, ExposureRequestOutOfRange) {
  struct Case {
    const char* name;
    std::function<void(ExposureRequest&)> change;
  };
  const Case cases[] = {
      {"width 1", [](ExposureRequest& r) { r.width = 1; }},
      {"width 1024", [](ExposureRequest& r) { r.width = 1024; }},
      {"height 1", [](ExposureRequest& r) { r.height = 1; }},
      {"height 1024", [](ExposureRequest& r) { r.height = 1024; }},
      {"x offset -1", [](ExposureRequest& r) { r.xOffset = -1; }},
      {"x offset 1024", [](ExposureRequest& r) { r.xOffset = 1024; }},
      {"y offset -1", [](ExposureRequest& r) { r.yOffset = -1; }},
      {"y offset 1024", [](ExposureRequest& r) { r.yOffset = 1024; }},
      {"ticks -1", [](ExposureRequest& r) { r.exposureTicks = -1; }},
      {"ticks 65536", [](ExposureRequest& r) { r.exposureTicks = 65536; }},
      {"option 2", [](ExposureRequest& r) { r.optionFlag = 2; }},
      {"readout mode 4", [](ExposureRequest& r) { r.readoutMode = 4; }},
      {"extra value 11", [](ExposureRequest& r) { r.extraValue = 11; }},
      // In range field by field, but more than the frame buffer holds.
      {"1023 x 1023", [](ExposureRequest& r) { r.width = r.height = 1023; }},
      {"1023 x 1023 in readout mode 0",
       [](ExposureRequest& r) { r.width = r.height = 1023, r.readoutMode = 0; }},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    ExposureRequest request = DarkFrameRequest();
    row.change(request);
    EXPECT_EQ(ExposeAndDownload(request), 4);
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(waits().empty());
  }
}

TEST_P(CameraProtocolTest, ExposureBlock) {
  struct Case {
    const char* name;
    std::function<void(ExposureRequest&)> change;
    Bytes tail;  // the block's bytes after the exposure time
  };
  const Case cases[] = {
      {"extra value 3 with its flag",
       [](ExposureRequest& r) { r.extraValue = 3, r.extraFlag = 1; },
       {0x01, 0x41, 0x03, 0x50}},
      {"extra value 3 without its flag",
       [](ExposureRequest& r) { r.extraValue = 3; },
       {0x01, 0x41, 0x03, 0x40}},
      {"flag without an extra value",
       [](ExposureRequest& r) { r.extraFlag = 1; },
       {0x01, 0x01, 0x40}},
      {"no final flag", [](ExposureRequest& r) { r.finalFlag = 0; }, {0x01, 0x01, 0x00}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    ExposureRequest request = Small(16, 4);
    row.change(request);
    ASSERT_EQ(ExposeAndDownload(request), 0);
    const Bytes block =
        Join({{0x10, 0x00, 0x04, 0x00, 0x19, 0x00, 0x08, 0x00, 0x24, 0xF4}, row.tail});
    EXPECT_EQ(received(), Join({ExposureDialogue(block), DownloadCommand(64, 16), {0x01}}));
  }
}

TEST_P(CameraProtocolTest, DarkFrameDownload) {
  ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
  ASSERT_EQ(ExposeAndDownload(DarkFrameRequest()), 0);

  // 110 blocks of 3968 bytes and one of 1184, asked for by 1 .. 111.
  EXPECT_EQ(received(), Join({ExposureDialogue(kDarkBlock),
                              DownloadCommand(kFrameBytes, kFrameWidth), BlockRequests(1, 111)}));
  const std::vector<std::uint8_t> dark = camera().darks.Frame(0);
  EXPECT_TRUE(SameBytes(g_rawFrame, dark.data(), kFrameBytes));
  EXPECT_EQ(waits(), (Waits{500, 100, 30, 50}));

  // The echo of 0x55 came 4 s after the exposure block, and the echo of
  // the download command went out at 250000 baud, was heard, and was
  // thrown away before the frame.
  const auto& trace = guider().line_trace();
  const auto isHost = [](const sim::LineTraceEntry& e) {
    return e.direction == sim::LineDirection::kHostToGuider;
  };
  const auto endRequest = std::find_if(trace.begin(), trace.end(),
                                       [&](const auto& e) { return isHost(e) && e.byte == 0x55; });
  ASSERT_NE(endRequest, trace.end());
  const auto blockEnd = std::find_if(std::make_reverse_iterator(endRequest), trace.rend(), isHost);
  const auto endEcho = std::find_if_not(endRequest + 1, trace.end(), isHost);
  ASSERT_NE(endEcho, trace.end());
  EXPECT_EQ(endEcho->byte, 0x55);
  EXPECT_EQ(endEcho->atMicros - blockEnd->atMicros, 4 * kSecond);
  const auto downloadEcho = std::find_if_not(endEcho + 1, trace.end(), isHost);
  ASSERT_NE(downloadEcho, trace.end());
  EXPECT_EQ(downloadEcho->byte, 0xEE);
  EXPECT_EQ(downloadEcho->baud, 250000u);
  EXPECT_EQ(downloadEcho->fate, sim::LineFate::kDelivered);
  const auto firstPixel = std::find_if_not(downloadEcho + 1, trace.end(), isHost);
  ASSERT_NE(firstPixel, trace.end());
  EXPECT_EQ(firstPixel->baud, 2000000u);

  ExpectRunningModeLink();
}

TEST_P(CameraProtocolTest, DownloadOutcomes) {
  struct Case {
    const char* name;
    ExposureRequest request;
    Fault fault;
    int result;
    Bytes received;
    Waits waits;
    std::vector<std::string> trace;
  };
  ExposureRequest mode0 = Small(100, 582);
  mode0.readoutMode = 0;
  const Bytes mode0Block = {0x64, 0x00, 0x46, 0x02, 0x19, 0x00, 0x08,
                            0x00, 0x24, 0xF4, 0x01, 0x00, 0x40};
  const ExposureRequest full = DarkFrameRequest();
  const Bytes dark = ExposureDialogue(kDarkBlock);
  const Bytes toBlock2 =
      Join({dark, DownloadCommand(kFrameBytes, kFrameWidth), BlockRequests(1, 2)});
  const Case cases[] = {
      // 100 x 291 = 29100 bytes: seven whole blocks and 1324 bytes.
      {"readout mode 0: width x 291 bytes",
       mode0,
       nullptr,
       0,
       Join({ExposureDialogue(mode0Block), DownloadCommand(29100, 100), BlockRequests(1, 8)}),
       {500, 100, 30, 50},
       {}},
      // 433696 bytes were still due; 3967 of them came.
      {"a block of 3967 of 3968 bytes",
       full,
       [](GuiderRig& r) {
         r.features().camera.faults.shortBlock = {{2, 3967}};
       },
       -12,
       toBlock2,
       {500, 100, 30, 50},
       {" error -12: 3967, 3968, 429729, 3"}},
      // 26 bytes up to the download command; the 28th is the second block
      // request, and the guider goes dark as it arrives.
      {"switched off during the download",
       full,
       [](GuiderRig& r) { r.guider().PowerOffAfterReceived(28); },
       -12,
       toBlock2,
       {500, 100, 30, 50},
       {" error -12: 0, 3968, 433696, 3"}},
      {"preparation not ready",
       full,
       [](GuiderRig& r) { r.features().camera.faults.prepareAnswer = 0x01; },
       5,
       CommandBytes({0xC4, 0x00}),
       {},
       {}},
      {"preparation refused",
       full,
       [](GuiderRig& r) { r.features().camera.faults.refuseCommand = 1; },
       3,
       CommandBytes({0xC4, 0x00}),
       {},
       {}},
      {"exposure block refused",
       full,
       [](GuiderRig& r) { r.features().camera.faults.refuseCommand = 2; },
       3,
       Join({CommandBytes({0xC4, 0x00}), CommandBytes(kDarkBlock)}),
       {},
       {}},
      // The host waits the exposure and a second more for the echo.
      {"end of exposure not acknowledged",
       full,
       [](GuiderRig& r) { r.features().camera.faults.acks[0x55] = {}; },
       2,
       dark,
       {500},
       {"ACKread($55)=-1: $55, $00"}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(ExposeAndDownload(row.request), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(waits(), row.waits);
    // Only the lines of interest: a good run traces many.
    std::vector<std::string> lines;
    for (const std::string& line : traceLines_) {
      if (line.starts_with(" error") || line.starts_with("ACKread($55)=-1")) lines.push_back(line);
    }
    EXPECT_EQ(lines, row.trace);
    if (row.result == 0) {
      const std::vector<std::uint8_t> frame = camera().ExposedFrame();
      ASSERT_EQ(frame.size(), static_cast<std::size_t>(FrameByteCount(row.request)));
      EXPECT_TRUE(SameBytes(g_rawFrame, frame.data(), frame.size()));
    }
    ExpectRunningModeLink();
  }
}

// The block requests run 1 .. 254, then 0: never 0xFF, which the guider
// takes for something else.
TEST_P(CameraProtocolTest, BlockRequestsSkip0xFF) {
  ASSERT_NO_FATAL_FAILURE(StartInCameraMode());
  constexpr int kBlocks = 256;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kBlocks) * 3968);
  ASSERT_EQ(DownloadFrame(buffer.data(), static_cast<int>(buffer.size()), kFrameWidth), 0);
  const Bytes r = received();
  ASSERT_EQ(r.size(), 6u + kBlocks);
  EXPECT_EQ(r[6 + 253], 254);
  EXPECT_EQ(r[6 + 254], 0);  // the 255th request
  EXPECT_EQ(r[6 + 255], 1);
  EXPECT_EQ(std::count(r.begin() + 6, r.end(), 0xFF), 0);
}

}  // namespace ktal::testing
