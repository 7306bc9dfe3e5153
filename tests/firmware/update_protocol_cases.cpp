// SPDX-License-Identifier: GPL-3.0-or-later
// The update-mode transfers against a guider in update mode: the byte trace
// of each transfer with its waits, the progress reports, every failure text
// with its result and the state of the link, a retry after a failure
// half-way, the EEPROM image, and the version readout. (The time-outs each
// transfer sets are checked on the simulated driver's call trace.)
#include "tests/firmware/update_protocol_cases.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <span>
#include <tuple>
#include <utility>

#include "firmware/update_protocol.h"
#include "firmware/variable_set.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "sim/firmware_files.h"
#include "sim/sim_ftdi_driver.h"

namespace ktal::testing {

namespace {

using sim::ControllerMode;
using Bytes = std::vector<std::uint8_t>;
using Waits = std::vector<std::uint32_t>;
// A fault put in place once the guider is ready for the transfer.
using Fault = std::function<void(GuiderRig&)>;
using Runs = std::vector<std::pair<char, Bytes>>;

std::string FormatRuns(const Runs& runs) {
  std::string text;
  char item[4];
  for (const auto& [who, bytes] : runs) {
    text += who;
    text += ':';
    for (const std::uint8_t byte : bytes) {
      std::snprintf(item, sizeof item, " %02X", byte);
      text += item;
    }
    text += '\n';
  }
  return text;
}

void Append(Runs& runs, char who, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  if (runs.empty() || runs.back().first != who) runs.push_back({who, {}});
  runs.back().second.insert(runs.back().second.end(), bytes.begin(), bytes.end());
}

// The dialogue a case expects, built in the order the bytes go.
class Talk {
 public:
  Talk& H(std::span<const std::uint8_t> bytes) {
    Append(runs_, 'H', bytes);
    return *this;
  }
  Talk& G(std::span<const std::uint8_t> bytes) {
    Append(runs_, 'G', bytes);
    return *this;
  }
  Talk& H(std::initializer_list<std::uint8_t> bytes) {
    return H(std::span(bytes.begin(), bytes.size()));
  }
  Talk& G(std::initializer_list<std::uint8_t> bytes) {
    return G(std::span(bytes.begin(), bytes.size()));
  }
  // The hand controller restarted into its boot loader after its image:
  // identify, 'B' and the probe, all heard.
  Talk& ReenterFromBootLoader() {
    return H({0xAA, 0x01, 0x01}).G({0x55, 0x03, 0x01, 0x80, 0x01}).H({0x42, 0x00}).G({0xFF});
  }
  // Still in update mode: the identify goes at 9600 baud and is not
  // heard; the probe is.
  Talk& ReenterInUpdateMode() { return H({0x00}).G({0xFF}); }
  std::string Text() const { return FormatRuns(runs_); }

 private:
  Runs runs_;
};

std::span<const std::uint8_t> Slice(std::span<const std::uint8_t> bytes, std::size_t from,
                                    std::size_t to) {
  return bytes.subspan(from, to - from);
}

// Bytes without 0x55, so that a camera stream carries no escapes.
Bytes NoEscapes(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<std::uint8_t>(seed + i * 37);
    bytes[i] = byte == 0x55 ? 0x56 : byte;
  }
  return bytes;
}

// What a transfer is to leave in g_protocolMessage.
struct Message {
  enum Kind {
    kUntouched,    // nothing: the earlier text stays
    kPlain,        // "<text>\n", link open
    kClosing,      // "<text>\n (<link error text>)\n"
    kDeviceError,  // "FT232 error\n (<link error text>)\n"
  };
  Kind kind = kUntouched;
  std::string text;

  std::string Expected() const {
    switch (kind) {
      case kUntouched:
        return kEarlierText;
      case kPlain:
        return text + "\n";
      case kClosing:
        return text + "\n (" + g_device.errorText + ")\n";
      case kDeviceError:
        return std::string("FT232 error\n (") + g_device.errorText + ")\n";
    }
    return {};
  }
};

Message Plain(std::string text) { return {Message::kPlain, std::move(text)}; }
Message Closing(std::string text) { return {Message::kClosing, std::move(text)}; }
const Message kDeviceError{Message::kDeviceError, {}};

sim::SimFtdiDriver* SimDriver(GuiderRig& rig) {
  return dynamic_cast<sim::SimFtdiDriver*>(&rig.driver());
}

VariableSet DefaultVariables() {
  VariableSet variables;
  variables.SetDefaults();
  variables.SetImageVersion(0x0250);
  return variables;
}

// The image sits inside a larger buffer, as it does in a firmware file.
constexpr std::size_t kImageStart = 7;
Bytes InFile(const Bytes& image) {
  Bytes file(kImageStart + image.size() + 1, 0xA5);
  std::copy(image.begin(), image.end(), file.begin() + kImageStart);
  file.back() = 0x5A;
  return file;
}

}  // namespace

std::string Dialogue(const std::vector<sim::LineTraceEntry>& trace) {
  Runs runs;
  for (const sim::LineTraceEntry& entry : trace) {
    if (entry.fate != sim::LineFate::kDelivered) continue;
    const char who = entry.direction == sim::LineDirection::kHostToGuider ? 'H' : 'G';
    Append(runs, who, std::span(&entry.byte, 1));
  }
  return FormatRuns(runs);
}

void UpdateProtocolTest::StartInUpdateMode() {
  sim::HandControllerConfig inUpdateMode;
  inUpdateMode.startMode = ControllerMode::kUpdate;
  StartRig(inUpdateMode);
  ASSERT_EQ(EnterDeviceMode(kUpdateMode), 0) << g_protocolMessage;
  ClearTraces();
}

// ---- The transfers byte by byte ----

TEST_P(UpdateProtocolTest, UploadHCByteTraces) {
  struct Case {
    const char* name;
    Bytes image;
    std::size_t knownLength;  // what the guider is told; 0: the short last block
    int byteModeAfterBlock;
    std::string expected;
  };
  const Bytes image30 = PseudoRandomImage(30, 1);
  const Bytes image40 = PseudoRandomImage(40, 2);
  Talk byteMode;
  byteMode.H({0xE6}).H(Slice(image30, 0, 15)).G({0x33});
  for (std::size_t i = 15; i < 29; ++i) byteMode.H(Slice(image30, i, i + 1)).G({0x11});
  byteMode.H(Slice(image30, 29, 30)).G({0xDC}).ReenterFromBootLoader();
  const Case cases[] = {
      {"30 bytes: two blocks, one acknowledgement, then 0xDC", image30, 30, 0,
       Talk()
           .H({0xE6})
           .H(Slice(image30, 0, 15))
           .G({0x11})
           .H(Slice(image30, 15, 30))
           .G({0xDC})
           .ReenterFromBootLoader()
           .Text()},
      {"0x33 after the first block: the rest one byte at a time, each acknowledged but the last",
       image30, 30, 1, byteMode.Text()},
      {"40 bytes: the short last block is not acknowledged", image40, 0, 0,
       Talk()
           .H({0xE6})
           .H(Slice(image40, 0, 15))
           .G({0x11})
           .H(Slice(image40, 15, 30))
           .G({0x11})
           .H(Slice(image40, 30, 40))
           .G({0xDC})
           .ReenterFromBootLoader()
           .Text()},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    update().handControllerImageLength = row.knownLength;
    update().byteModeAfterBlock = row.byteModeAfterBlock;
    EXPECT_EQ(UploadHC(InFile(row.image), kImageStart, row.image.size(), nullptr), 0)
        << g_protocolMessage;
    EXPECT_EQ(dialogue(), row.expected);
    // The guider's programming code settles, the new firmware starts, and
    // the boot loader's 'B' is given its time.
    EXPECT_EQ(waits(), (Waits{50, 1000, 100}));
    EXPECT_EQ(update().handControllerImage, row.image);
    EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
    EXPECT_TRUE(g_device.IsOpen());
    EXPECT_EQ(guider().mode(), ControllerMode::kUpdate);
  }
}

// Every length modulo 15, to a guider told the length (it answers the last
// block with the end byte alone) and to one that finds the end itself (it
// acknowledges a full last block like the others, then sends the end byte).
TEST_P(UpdateProtocolTest, UploadHCTakesEveryLengthModulo15) {
  for (std::size_t length = 45; length < 60; ++length) {
    for (const bool told : {true, false}) {
      SCOPED_TRACE(std::to_string(length) + (told ? " bytes, length told" : " bytes, end found"));
      ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
      update().handControllerImageLength = told ? length : 0;
      const Bytes image = PseudoRandomImage(length, static_cast<std::uint32_t>(length));
      Talk expected;
      expected.H({0xE6});
      for (std::size_t at = 0; at < length; at += 15) {
        const std::size_t to = std::min(at + 15, length);
        expected.H(Slice(image, at, to));
        if (to - at == 15 && (to < length || !told)) expected.G({0x11});
      }
      expected.G({0xDC}).ReenterFromBootLoader();

      EXPECT_EQ(UploadHC(InFile(image), kImageStart, length, nullptr), 0) << g_protocolMessage;
      EXPECT_EQ(dialogue(), expected.Text());
      EXPECT_EQ(update().handControllerImage, image);
      EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
      EXPECT_TRUE(g_device.IsOpen());
    }
  }
}

TEST_P(UpdateProtocolTest, UploadCamByteTraces) {
  struct Case {
    const char* name;
    Bytes image;
    std::string expected;
  };
  const Bytes plain15 = NoEscapes(15, 3);
  Bytes escapeAtFifteen = NoEscapes(15, 4);
  escapeAtFifteen.push_back(0x55);
  const Case cases[] = {
      // Only three bytes are counted: no acknowledgement is read.
      {"the single byte 0x55: 55 55 55 F0, then 0x0D",
       {0x55},
       Talk()
           .H({0xC6})
           .G({0x00})
           .H({0x55, 0x55, 0x55, 0xF0})
           .G({0x0D})
           .ReenterInUpdateMode()
           .Text()},
      {"15 bytes without 0x55: the first acknowledgement after the 16th byte, the end marker's "
       "first",
       plain15,
       Talk()
           .H({0xC6})
           .G({0x00})
           .H(plain15)
           .H({0x55})
           .G({0x11})
           .H({0xF0})
           .G({0x0D})
           .ReenterInUpdateMode()
           .Text()},
      {"an acknowledgement between the two bytes of an escape", escapeAtFifteen,
       Talk()
           .H({0xC6})
           .G({0x00})
           .H(Slice(escapeAtFifteen, 0, 15))
           .H({0x55})
           .G({0x11})
           .H({0x55, 0x55, 0xF0})
           .G({0x0D})
           .ReenterInUpdateMode()
           .Text()},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    EXPECT_EQ(UploadCam(InFile(row.image), kImageStart, row.image.size(), nullptr), 0)
        << g_protocolMessage;
    EXPECT_EQ(dialogue(), row.expected);
    EXPECT_EQ(waits(), (Waits{50, 1000}));
    EXPECT_EQ(update().cameraImage, row.image);
    EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
    EXPECT_TRUE(g_device.IsOpen());
  }
}

TEST_P(UpdateProtocolTest, UploadCCDBAcknowledges136BlocksAndNotTheNineByteTail) {
  ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
  const Bytes image = PseudoRandomImage(2049, 5);
  Talk expected;
  expected.H({0xC7}).G({0x00});
  for (std::size_t at = 0; at < 136 * 15; at += 15) expected.H(Slice(image, at, at + 15)).G({0x11});
  expected.H(Slice(image, 2040, 2049)).G({0x0D}).ReenterInUpdateMode();

  EXPECT_EQ(UploadCCDB(InFile(image), kImageStart, image.size(), nullptr), 0) << g_protocolMessage;
  EXPECT_EQ(dialogue(), expected.Text());
  EXPECT_EQ(waits(), (Waits{200, 1000}));
  EXPECT_EQ(update().ccdBoardImage, image);
  EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
  EXPECT_TRUE(g_device.IsOpen());
}

TEST_P(UpdateProtocolTest, UploadProgressReports) {
  struct Case {
    const char* name;
    std::function<void(sim::UpdateModeState&)> setup;
    std::function<int(const ProgressCallback&)> upload;
    std::vector<int> percents;
  };
  const Bytes hc905 = PseudoRandomImage(905, 6);
  const Bytes hc250 = PseudoRandomImage(250, 7);
  const Bytes camera61 = NoEscapes(61, 8);
  const Bytes ccdb = PseudoRandomImage(2049, 9);
  const Case cases[] = {
      // Every 20 blocks counted back from the end, truncated after adding a
      // half; nothing after the last block.
      {"hand controller, blocks",
       nullptr,
       [&](const ProgressCallback& p) { return UploadHC(hc905, 0, hc905.size(), p); },
       {33, 66, 99}},
      {"hand controller, byte mode after the first block: every 100 bytes left",
       [](sim::UpdateModeState& s) {
         s.handControllerImageLength = 250;
         s.byteModeAfterBlock = 1;
       },
       [&](const ProgressCallback& p) { return UploadHC(hc250, 0, hc250.size(), p); },
       {20, 60}},
      // After each acknowledgement of the data, the image bytes taken so far.
      {"camera",
       nullptr,
       [&](const ProgressCallback& p) { return UploadCam(camera61, 0, camera61.size(), p); },
       {26, 51, 75, 100}},
      {"CCD board: every 20 blocks counted back from the end, the tail too",
       nullptr,
       [&](const ProgressCallback& p) { return UploadCCDB(ccdb, 0, ccdb.size(), p); },
       {12, 26, 41, 56, 70, 85, 100, 100}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    if (row.setup) row.setup(update());
    std::vector<int> percents;
    EXPECT_EQ(row.upload([&](int percent) { percents.push_back(percent); }), 0)
        << g_protocolMessage;
    EXPECT_EQ(percents, row.percents);
  }
}

// ---- Every failure text ----

TEST_P(UpdateProtocolTest, FailureTexts) {
  struct Case {
    const char* name;
    Fault fault;
    std::function<int()> call;
    int result;
    Message message;
    bool open;
    // Nothing reached the guider.
    bool nothingSent = false;
    // The fault needs the simulated driver's call faults.
    bool simDriverOnly = false;
  };
  const Bytes hc40 = PseudoRandomImage(40, 10);
  const Bytes camera40 = NoEscapes(40, 11);
  // Its first acknowledgement falls on the end marker.
  const Bytes camera15 = NoEscapes(15, 12);
  const Bytes ccdb = PseudoRandomImage(2049, 13);
  const Bytes hc45 = PseudoRandomImage(45, 14);
  const auto hc = [&] { return UploadHC(hc40, 0, hc40.size(), nullptr); };
  const auto cam40 = [&] { return UploadCam(camera40, 0, camera40.size(), nullptr); };
  const auto cam15 = [&] { return UploadCam(camera15, 0, camera15.size(), nullptr); };
  const auto board = [&] { return UploadCCDB(ccdb, 0, ccdb.size(), nullptr); };
  const auto read = [] {
    VariableSet variables = DefaultVariables();
    return DownloadEEPROM(variables, nullptr);
  };
  const auto write = [] {
    VariableSet variables = DefaultVariables();
    return UploadEEPROM(variables, nullptr, true);
  };
  const auto closeLink = [](GuiderRig&) { g_device.Close(); };
  const auto ack = [](int n, Bytes answer) {
    return [n, answer](GuiderRig& r) { r.features().update.faults.ack = {{n, answer}}; };
  };
  const auto commandAnswer = [](Bytes answer) {
    return [answer](GuiderRig& r) { r.features().update.faults.commandAnswer = answer; };
  };
  const auto endAnswer = [](Bytes answer) {
    return [answer](GuiderRig& r) { r.features().update.faults.endAnswer = answer; };
  };
  const std::string reentryFailed =
      "can't re-enter update mode after the upload (code $1)\ndevice does not respond...\n";
  const Message rejected =
      Plain("the firmware image is empty or lies outside the file: nothing sent");

  const Case cases[] = {
      // UploadHC
      {"hand controller: link not open", closeLink, hc, -1,
       Closing("FT232 is not open in 'upload HC'\n"), false, true},
      {"hand controller: switched off half-way through the image",
       [](GuiderRig& r) { r.guider().PowerOffAfterReceived(1 + 20); }, hc, -1, kDeviceError, false},
      {"hand controller: 0x12 instead of 0x11", ack(1, {0x12}), hc, 3,
       Closing(" ..failed: invalid ACK byte received ($12)"), false},
      {"hand controller: a stray byte after the acknowledgement", ack(2, {0x11, 0x00}), hc, 3,
       Closing(" ..failed: too many bytes to receive after ACK"), false},
      // One acknowledgement may come before the end byte, not two.
      {"hand controller: a second acknowledgement after the full last block", ack(3, {0x11, 0x11}),
       [&] { return UploadHC(hc45, 0, hc45.size(), nullptr); }, 4,
       Closing(" ..failed: invalid EOF byte received ($11)\r\n"), false},
      {"hand controller: no end byte", endAnswer({}), hc, 4,
       Closing(" ..failed in Read 'done' byte"), false},
      {"hand controller: the image fails the device's check",
       [](GuiderRig& r) { r.features().update.faults.checkFailsFor = 0xE6; }, hc, 4,
       Closing(" ..failed: invalid EOF byte received ($ce)\r\n"), false},
      {"hand controller: the new firmware does not come up",
       [](GuiderRig& r) { r.guider().mutable_config().restartMicros = 10'000'000; }, hc, -1,
       Closing(reentryFailed), false},
      {"hand controller: empty image", nullptr, [&] { return UploadHC(hc40, 3, 0, nullptr); },
       kUploadImageRejected, rejected, true, true},
      // UploadCam
      {"camera: link not open", closeLink, cam40, -1,
       Closing("FT232 is not open in 'upload Cam'\n"), false, true},
      {"camera: the latency timer can't be set",
       [](GuiderRig& r) { SimDriver(r)->FailCall(sim::DriverCall::kSetLatencyTimer, FT_IO_ERROR); },
       cam40, -1, kDeviceError, false, true, true},
      {"camera: no answer to the command", commandAnswer({}), cam40, -1, kDeviceError, false},
      {"camera: command refused", commandAnswer({0x07}), cam40, 2,
       Plain(" ERROR, \"upload fw. cmd\" returned: $07"), true},
      {"camera: wrong acknowledgement during the data", ack(1, {0x12}), cam40, 3,
       Plain(" ..failed: invalid ACK byte received ($12)\r\n"), true},
      {"camera: a stray byte after an acknowledgement during the data", ack(2, {0x11, 0x11}), cam40,
       1, Closing(" ..failed: too many bytes to receive after ACK\r\n"), false},
      {"camera: wrong acknowledgement during the end marker", ack(1, {0x10}), cam15, 4,
       Plain(" ..failed: invalid ACK byte received ($10)\r\n"), true},
      {"camera: a stray byte after the end marker's acknowledgement", ack(1, {0x11, 0x0D}), cam15,
       4, Closing(" ..failed: too many bytes to receive after ACK"), false},
      // The command, 15 data bytes, then the end marker's first byte.
      {"camera: the end marker can't be written",
       [](GuiderRig& r) { SimDriver(r)->FailCall(sim::DriverCall::kWrite, FT_IO_ERROR, 17); },
       cam15, 1, Closing(" (eofw) ..failed in Write"), false, false, true},
      {"camera: no end byte", endAnswer({}), cam40, 4, Closing(" ..failed in Read 'done' byte"),
       false},
      {"camera: wrong end byte", endAnswer({0x0E}), cam40, 4,
       Plain(" ..failed: invalid EOF byte received ($0e)\r\n"), true},
      {"camera: image outside the file", nullptr,
       [&] { return UploadCam(camera15, 10, 6, nullptr); }, kUploadImageRejected, rejected, true,
       true},
      // UploadCCDB
      {"CCD board: link not open", closeLink, board, -1,
       Closing("FT232 is not open in 'upload Cam'\n"), false, true},
      {"CCD board: reads fail", [](GuiderRig& r) { r.FailReads(); }, board, -1, kDeviceError,
       false},
      {"CCD board: command refused", commandAnswer({0x05}), board, 1,
       Plain(" ! ERROR: can't enter CCDB programming mode: 0x05\r\n"), true},
      {"CCD board: wrong last acknowledgement", ack(136, {0x10}), board, 2,
       Plain(" ..failed: invalid ACK byte received ($10)\r\n"), true},
      {"CCD board: a stray byte after an acknowledgement", ack(3, {0x11, 0x42}), board, 1,
       Closing(" ..failed: too many bytes to receive after ACK"), false},
      {"CCD board: no end byte", endAnswer({}), board, 4, Closing(" ..failed in Read 'done' byte"),
       false},
      {"CCD board: wrong end byte", endAnswer({0x0C}), board, 4,
       Plain(" ..failed: invalid DONE byte received ($0c)\r\n"), true},
      // Switched off just as the probe after the image arrives (the
      // identify before it goes at another speed and is not heard).
      {"CCD board: the guider is gone after the image",
       [](GuiderRig& r) { r.guider().PowerOffAfterReceived(1 + 2049 + 1); }, board, -1,
       Closing(reentryFailed), false},
      {"CCD board: image outside the file", nullptr,
       [&] { return UploadCCDB(ccdb, 1, ccdb.size(), nullptr); }, kUploadImageRejected, rejected,
       true, true},
      // DownloadEEPROM
      {"EEPROM read: link not open", closeLink, read, -1,
       Closing("FT232 is not open in 'download EEPROM'\n"), false, true},
      {"EEPROM read: wrong answer to the command", commandAnswer({0x45}), read, 0x45,
       Closing("bad byte read for Read EEPROM cmd: 0x45\r\n"), false},
      {"EEPROM read: switched off half-way",
       [](GuiderRig& r) { r.guider().PowerOffAfterReceived(1 + 2 + 600); }, read, -1, kDeviceError,
       false},
      {"EEPROM read: wrong end byte", endAnswer({0xDD}), read, 0xDD,
       Closing("bad END byte read: 0xdd\r\n"), false},
      // UploadEEPROM
      {"EEPROM write: link not open", closeLink, write, -1,
       Closing("FT232 is not open in 'upload EEPROM'\n"), false, true},
      // A wrong 0x00 must not come back as 0, which reads as success.
      {"EEPROM write: 0x00 in answer to the command", commandAnswer({0x00}), write, kWrongByteZero,
       Closing("bad byte read for Write EEPROM cmd: 0x00\r\n"), false},
      {"EEPROM write: wrong acknowledgement", ack(80, {0x10}), write, 0x10,
       Closing("bad byte read as ACK (required 0x11): 0x10\r\n"), false},
      {"EEPROM write: missing acknowledgement", ack(5, {}), write, -1, kDeviceError, false},
      {"EEPROM write: wrong end byte", endAnswer({0xDE}), write, 0xDE,
       Closing("bad END byte read: 0xde\r\n"), false},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    if (row.simDriverOnly && SimDriver(*rig_) == nullptr) continue;
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(row.call(), row.result);
    EXPECT_EQ(std::string(g_protocolMessage), row.message.Expected());
    EXPECT_EQ(g_device.IsOpen(), row.open);
    if (row.nothingSent) {
      EXPECT_TRUE(received().empty());
    }
  }
}

// After a failure half-way the guider forgets the half image, and the next
// attempt from the update-mode handshake goes through.
TEST_P(UpdateProtocolTest, RetryAfterAFailureHalfWay) {
  struct Case {
    const char* name;
    std::function<int()> call;
    const Bytes* image;
    const Bytes& (*stored)(sim::UpdateModeState&);
  };
  const Bytes hc40 = PseudoRandomImage(40, 17);
  const Bytes camera = NoEscapes(40, 18);
  const Bytes ccdb = PseudoRandomImage(2049, 19);
  const Case cases[] = {
      {"hand controller", [&] { return UploadHC(hc40, 0, hc40.size(), nullptr); }, &hc40,
       [](sim::UpdateModeState& s) -> const Bytes& { return s.handControllerImage; }},
      {"camera", [&] { return UploadCam(camera, 0, camera.size(), nullptr); }, &camera,
       [](sim::UpdateModeState& s) -> const Bytes& { return s.cameraImage; }},
      {"CCD board", [&] { return UploadCCDB(ccdb, 0, ccdb.size(), nullptr); }, &ccdb,
       [](sim::UpdateModeState& s) -> const Bytes& { return s.ccdBoardImage; }},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    update().faults.ack = {{2, {0x12}}};
    EXPECT_NE(row.call(), 0);
    EXPECT_TRUE(row.stored(update()).empty());
    ASSERT_EQ(EnterDeviceMode(kUpdateMode), 0) << g_protocolMessage;
    EXPECT_EQ(row.call(), 0) << g_protocolMessage;
    EXPECT_EQ(row.stored(update()), *row.image);
  }
}

// ---- The EEPROM ----

TEST_P(UpdateProtocolTest, DownloadEEPROMReadsEveryByteAndParsesTheImage) {
  ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
  auto& eeprom = update().eeprom;
  for (std::size_t i = 0; i < eeprom.size(); ++i) {
    eeprom[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
  }
  // Layout 2.50, whose word variable M10 lies at 0x010.
  eeprom[1] = 0x50;
  eeprom[2] = 0x02;
  eeprom[0x10] = 0x34;
  eeprom[0x11] = 0x12;
  VariableSet variables;
  variables.SetDefaults();
  variables.image.fill(0xA5);

  std::vector<int> percents;
  EXPECT_EQ(DownloadEEPROM(variables, [&](int p) { percents.push_back(p); }), 0)
      << g_protocolMessage;

  // Each byte is asked for by the answer to the one before; 0x33 after the
  // 1280th ends the read.
  Talk expected;
  expected.H({0x31}).G({0xEE}).H({0x00, 0x00});
  for (std::size_t i = 0; i + 1 < eeprom.size(); ++i) expected.G(Slice(eeprom, i, i + 1)).H({0x00});
  expected.G(Slice(eeprom, eeprom.size() - 1, eeprom.size())).H({0x33}).G({0xDE});
  EXPECT_EQ(dialogue(), expected.Text());
  EXPECT_EQ(Bytes(variables.image.begin(), variables.image.begin() + kEepromTransferSize),
            Bytes(eeprom.begin(), eeprom.end()));
  EXPECT_EQ(Bytes(variables.image.begin() + kEepromTransferSize, variables.image.end()),
            Bytes(kEepromImageSize - kEepromTransferSize, 0xA5));
  EXPECT_EQ(variables.Main(0x10), 0x1234u);
  EXPECT_EQ(waits(), (Waits{50}));
  ASSERT_EQ(percents.size(), 1280u);
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents[639], 50);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
  EXPECT_TRUE(g_device.IsOpen());
}

// A read that did not end as it should changes neither the image nor the
// variables: a half-read image must not be taken for the guider's.
TEST_P(UpdateProtocolTest, DownloadEEPROMKeepsTheImageUnlessTheWholeReadSucceeded) {
  struct Case {
    const char* name;
    Fault fault;
    int result;
  };
  const Case cases[] = {
      {"switched off half-way", [](GuiderRig& r) { r.guider().PowerOffAfterReceived(1 + 2 + 700); },
       -1},
      {"wrong end byte", [](GuiderRig& r) { r.features().update.faults.endAnswer = Bytes{0x42}; },
       0x42},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    update().eeprom.fill(0x00);
    update().eeprom[1] = 0x50;
    update().eeprom[2] = 0x02;
    VariableSet variables;
    variables.SetDefaults();
    ASSERT_TRUE(variables.SetMain(0x10, 77));
    variables.image.fill(0xA5);
    row.fault(*rig_);
    EXPECT_EQ(DownloadEEPROM(variables, nullptr), row.result);
    EXPECT_EQ(Bytes(variables.image.begin(), variables.image.end()), Bytes(kEepromImageSize, 0xA5));
    EXPECT_EQ(variables.Main(0x10), 77u);
  }
}

TEST_P(UpdateProtocolTest, UploadEEPROMWritesEveryByteWith160Acknowledgements) {
  ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
  VariableSet variables;
  variables.SetDefaults();
  for (std::size_t i = 0; i < variables.image.size(); ++i) {
    variables.image[i] = static_cast<std::uint8_t>(i * 7 + i / 256 + 1);
  }
  const auto& image = variables.image;

  std::vector<int> percents;
  EXPECT_EQ(UploadEEPROM(
                variables, [&](int p) { percents.push_back(p); }, true),
            0)
      << g_protocolMessage;

  Talk expected;
  expected.H({0x32}).G({0xEF}).H({0x00, 0x00, 0x00, 0x05});
  for (std::size_t at = 0; at < 1280; at += 8) expected.H(Slice(image, at, at + 8)).G({0x11});
  expected.G({0xDF});
  EXPECT_EQ(dialogue(), expected.Text());
  EXPECT_EQ(Bytes(update().eeprom.begin(), update().eeprom.end()),
            Bytes(image.begin(), image.begin() + kEepromTransferSize));
  EXPECT_EQ(waits(), (Waits{50}));
  ASSERT_EQ(percents.size(), 1280u);
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
  EXPECT_TRUE(g_device.IsOpen());
}

TEST_P(UpdateProtocolTest, UploadEEPROMLaysTheVariablesOutUnlessToldTheImageIs) {
  struct Case {
    bool alreadyLaidOut;
    Bytes atM10;  // what the guider's EEPROM holds at 0x010 afterwards
  };
  const Case cases[] = {{false, {0x21, 0x43}}, {true, {0x00, 0x00}}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.alreadyLaidOut ? "already laid out" : "laid out first");
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    VariableSet variables = DefaultVariables();
    ASSERT_TRUE(variables.SetMain(0x10, 0x4321));
    variables.image[0x10] = 0x00;
    variables.image[0x11] = 0x00;
    EXPECT_EQ(UploadEEPROM(variables, nullptr, row.alreadyLaidOut), 0) << g_protocolMessage;
    EXPECT_EQ(Bytes(update().eeprom.begin() + 0x10, update().eeprom.begin() + 0x12), row.atM10);
  }
}

// ---- Version readout ----

TEST_P(UpdateProtocolTest, VersionReadout) {
  using Versions = UpdateModeVersions;
  struct Case {
    const char* name;
    std::function<void()> setup;
    int result;
    Versions versions;
    Bytes received;
  };
  const Bytes hc40 = PseudoRandomImage(40, 20);
  const auto uploadThenReenter = [&] {
    UploadHC(hc40, 0, hc40.size(), nullptr);
    ASSERT_EQ(EnterDeviceMode(kUpdateMode), 0) << g_protocolMessage;
    ClearTraces();
  };
  const Case cases[] = {
      {"firmware and camera intact",
       nullptr,
       0,
       {0x17, 0, 0x0250, 0, 0x22, 0x0140},
       {0x14, 0x2D, 0x2E}},
      {"CRC error in the firmware: the readout stops at its status",
       [&] { update().firmwareStatus = 3; },
       0,
       {0x17, 3, 0, 0, 0, 0},
       {0x14, 0x2D}},
      {"camera error 5",
       [&] { update().cameraStatus = 5; },
       0,
       {0x17, 0, 0x0250, 5, 0, 0},
       {0x14, 0x2D, 0x2E}},
      {"no answer", [&] { guider().SetSilent(true); }, -1, {}, {0x14}},
      {"camera versions cut short",
       [&] {
         guider().ReplaceNextAnswer(0x2E, {0x00, 0x22, 0x00});
       },
       1,
       {0x17, 0, 0x0250, 0, 0x22, 0},
       {0x14, 0x2D, 0x2E}},
      {"after a hand-controller image that failed the device's check",
       [&] {
         update().faults.checkFailsFor = 0xE6;
         uploadThenReenter();
       },
       0,
       {0x17, sim::kFirmwareCrcError, 0, 0, 0, 0},
       {0x14, 0x2D}},
      {"after an accepted hand-controller image: the new firmware's version",
       [&] {
         update().firmwareVersionAfterUpload = 0x0260;
         uploadThenReenter();
       },
       0,
       {0x17, 0, 0x0260, 0, 0x22, 0x0140},
       {0x14, 0x2D, 0x2E}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInUpdateMode());
    guider().mutable_config().firmwareVersion = 0x0250;
    update().bootVersion = 0x17;
    update().cameraBootVersion = 0x22;
    update().cameraFirmwareVersion = 0x0140;
    if (row.setup) {
      ASSERT_NO_FATAL_FAILURE(row.setup());
    }
    Versions versions;
    versions.bootVersion = 0x99;  // what an earlier readout left
    EXPECT_EQ(ReadUpdateModeVersions(versions), row.result);
    const auto fields = [](const Versions& v) {
      return std::make_tuple(v.bootVersion, v.firmwareStatus, v.firmwareVersion, v.cameraStatus,
                             v.cameraBootVersion, v.cameraFirmwareVersion);
    };
    EXPECT_EQ(fields(versions), fields(row.versions));
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
    EXPECT_TRUE(g_device.IsOpen());
  }
}

}  // namespace ktal::testing
