// SPDX-License-Identifier: GPL-3.0-or-later
// The four file-system mode requests against a guider in normal or
// file-system mode, one table per request. Every row starts a fresh guider,
// injects its fault and checks the bytes each way, the waits, the result,
// the message and the state of the link.
#include "tests/filesystem/fs_protocol_cases.h"

#include <cstdio>
#include <functional>
#include <optional>

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

Bytes Repeat(const Bytes& part, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// What a request is to leave in g_protocolMessage.
struct Message {
  enum Kind {
    kUntouched,    // nothing: the earlier text stays
    kFramed,       // "<text>\n (<link error text>)\n"
    kLinkErrorIn,  // `text` is a format with the link error text in its %s
  };
  Kind kind = kUntouched;
  std::string text;

  std::string Expected() const {
    switch (kind) {
      case kUntouched:
        return kEarlierText;
      case kFramed:
        return text + "\n (" + g_device.errorText + ")\n";
      case kLinkErrorIn: {
        std::string out = text;
        out.replace(out.find("%s"), 2, g_device.errorText);
        return out;
      }
    }
    return {};
  }
};

const Message kNoMessage{};

// Enter and leave: what went each way, and how it ended.
struct ModeCase {
  const char* name;
  Fault fault;
  int result;
  Bytes received;
  Bytes sent;
  Waits waits;
  Message message;
  bool open;
  // The guider's mode afterwards, where the request ends in a known one.
  std::optional<ControllerMode> mode;
};

const Bytes kEnter = {0xD3, 0x80};
const Bytes kLeave = {0xD3, 0x00};

void ExpectCase(const ModeCase& row, int result, const Bytes& received, const Bytes& sent,
                const Waits& waits, const sim::HandController& guider) {
  EXPECT_EQ(result, row.result);
  EXPECT_EQ(received, row.received);
  EXPECT_EQ(sent, row.sent);
  EXPECT_EQ(waits, row.waits);
  EXPECT_EQ(std::string(g_protocolMessage), row.message.Expected());
  EXPECT_EQ(g_device.IsOpen(), row.open);
  if (row.mode) {
    EXPECT_EQ(guider.mode(), *row.mode);
  }
}

}  // namespace

void FsProtocolTest::StartInNormalMode() {
  StartRig();
  ASSERT_EQ(EnterDeviceMode(kNormalMode), 0) << g_protocolMessage;
  ClearTraces();
}

void FsProtocolTest::StartInFileSystemMode() {
  ASSERT_NO_FATAL_FAILURE(StartInNormalMode());
  ASSERT_EQ(EnterFileSystemMode(), 0) << g_protocolMessage;
  ClearTraces();
}

TEST_P(FsProtocolTest, EnterFileSystemMode) {
  const Message cantEnter{
      Message::kFramed,
      "Can't enter into FileSystem mode...\nThe device may be in some exclusive "
      "mode (screen).\nGo to main menu or power off, then start the device and "
      "try again!\n"};
  const Message unsupported{Message::kFramed,
                            "FS mode: unsupported command (no ACK received)\nThe firmware may not "
                            "support File System handling...\n"};
  const Message communicationError{Message::kLinkErrorIn, "FS mode: communication error: %s\n"};
  const ModeCase cases[] = {
      {"in at the first attempt",
       nullptr,
       0,
       kEnter,
       {0xD3, 0xAA},
       {},
       kNoMessage,
       true,
       ControllerMode::kFileSystem},
      {"in at the third attempt, after two busy answers",
       [](GuiderRig& r) { r.features().fileSystem.enterBusyAnswers = 2; },
       0,
       Repeat(kEnter, 3),
       {0xD3, 0x00, 0xD3, 0x00, 0xD3, 0xAA},
       {100, 1000},
       kNoMessage,
       true,
       ControllerMode::kFileSystem},
      {"busy at all five attempts",
       [](GuiderRig& r) { r.features().fileSystem.enterBusyAnswers = 5; },
       1,
       Repeat(kEnter, 5),
       Repeat({0xD3, 0x00}, 5),
       {100, 1000, 1000, 1000, 1000},
       cantEnter,
       false,
       ControllerMode::kNormal},
      // An old firmware does not echo: no argument and no second attempt.
      {"no echo",
       [](GuiderRig& r) { r.features().fileSystem.supported = false; },
       1,
       {0xD3},
       {},
       {},
       unsupported,
       false,
       ControllerMode::kNormal},
      {"wrong echo",
       [](GuiderRig& r) { r.guider().ReplaceSentByte(1, 0x42); },
       1,
       {0xD3},
       {0x42},
       {},
       unsupported,
       false,
       std::nullopt},
      {"answer neither in nor busy",
       [](GuiderRig& r) { r.guider().ReplaceNextAnswer(0xD3, {0x42}); },
       1,
       kEnter,
       {0xD3, 0x42},
       {},
       {Message::kFramed, "FS mode: invalid answer byte\n"},
       false,
       std::nullopt},
      {"no answer after the echo",
       [](GuiderRig& r) { r.guider().ReplaceNextAnswer(0xD3, {}); },
       1,
       kEnter,
       {0xD3},
       {},
       communicationError,
       false,
       std::nullopt},
      // A link that fails while waiting for the echo is not an old firmware.
      {"reading the echo fails",
       [](GuiderRig& r) { r.FailReads(); },
       1,
       {0xD3},
       {0xD3},
       {},
       communicationError,
       false,
       std::nullopt},
  };
  for (const ModeCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInNormalMode());
    if (row.fault) row.fault(*rig_);
    const int result = EnterFileSystemMode();
    ExpectCase(row, result, received(), sent(), waits(), guider());
  }
}

TEST_P(FsProtocolTest, LeaveFileSystemMode) {
  const ModeCase cases[] = {
      // The request goes out five times even though the first answer says
      // the guider has left.
      {"left at the first pass",
       nullptr,
       0,
       Repeat(kLeave, 5),
       Repeat({0xD3, 0x55}, 5),
       {},
       kNoMessage,
       true,
       ControllerMode::kNormal},
      {"busy at every pass",
       [](GuiderRig& r) { r.features().fileSystem.leaveBusyAnswers = 5; },
       0,
       Repeat(kLeave, 5),
       Repeat({0xD3, 0x00}, 5),
       {100, 1000, 1000, 1000, 1000},
       kNoMessage,
       true,
       ControllerMode::kFileSystem},
      // The wait after a busy answer depends on the pass, not on how many
      // busy answers came before.
      {"busy in the third pass only",
       [](GuiderRig& r) { r.guider().ReplaceSentByte(6, 0x00); },
       0,
       Repeat(kLeave, 5),
       Join(Repeat({0xD3, 0x55}, 2), Join({0xD3, 0x00}, Repeat({0xD3, 0x55}, 2))),
       {1000},
       kNoMessage,
       true,
       ControllerMode::kNormal},
      {"answer neither left nor busy in the second pass",
       [](GuiderRig& r) { r.guider().ReplaceSentByte(4, 0x42); },
       1,
       Repeat(kLeave, 2),
       {0xD3, 0x55, 0xD3, 0x42},
       {},
       {Message::kFramed, "FS mode: invalid answer byte\n"},
       false,
       std::nullopt},
      {"no echo",
       [](GuiderRig& r) { r.features().fileSystem.supported = false; },
       1,
       {0xD3},
       {},
       {},
       {Message::kFramed, "FS mode: unsupported command (no ACK received)\n"},
       false,
       std::nullopt},
      {"no answer after the echo",
       [](GuiderRig& r) { r.guider().ReplaceNextAnswer(0xD3, {}); },
       1,
       kLeave,
       {0xD3},
       {},
       {Message::kFramed, "FS mode: communication error:\n"},
       false,
       std::nullopt},
      {"link closed before the first write",
       [](GuiderRig&) { g_device.Close(); },
       1,
       {},
       {},
       {},
       {Message::kFramed, "FS mode: communication error\n"},
       false,
       ControllerMode::kFileSystem},
  };
  for (const ModeCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInFileSystemMode());
    if (row.fault) row.fault(*rig_);
    const int result = LeaveFileSystemMode();
    ExpectCase(row, result, received(), sent(), waits(), guider());
  }
}

TEST_P(FsProtocolTest, ReadPage) {
  struct PageCase {
    const char* name;
    std::uint16_t page;
    Fault fault;
    int result;
    PageReadFault why;
    Bytes received;
    // The guider sends the first `pageBytes` bytes of the page, then `tail`.
    std::size_t pageBytes;
    Bytes tail;
  };
  const Bytes continuations = Repeat({0xDD}, 4);
  const PageCase cases[] = {
      {"directory page",
       4095,
       nullptr,
       0,
       PageReadFault::kNone,
       Join({0xDD, 0xFF, 0x0F, 0x01}, continuations),
       kDataPageSize,
       {0xFF}},
      {"data page",
       300,
       nullptr,
       0,
       PageReadFault::kNone,
       Join({0xDD, 0x2C, 0x01, 0x01}, continuations),
       kDataPageSize,
       {0xFF}},
      {"whole page with a bad trailer",
       300,
       [](GuiderRig& r) { r.features().fileSystem.badTrailerPage = 300; },
       1,
       PageReadFault::kBadTrailer,
       Join({0xDD, 0x2C, 0x01, 0x01}, continuations),
       kDataPageSize,
       {0x00}},
      // Two whole chunks and 50 bytes of the third, then silence: no
      // further continuation is asked for.
      {"chunk cut short",
       300,
       [](GuiderRig& r) {
         r.features().fileSystem.shortChunk = {{300, 2, 50}};
       },
       1,
       PageReadFault::kShortChunk,
       {0xDD, 0x2C, 0x01, 0x01, 0xDD, 0xDD},
       290,
       {}},
      {"silent guider",
       300,
       [](GuiderRig& r) { r.guider().SetSilent(true); },
       1,
       PageReadFault::kNoAnswer,
       {0xDD, 0x2C, 0x01, 0x01},
       0,
       {}},
      // The first chunk reached the chip, but the driver could not read it.
      {"reads fail",
       300,
       [](GuiderRig& r) { r.FailReads(); },
       1,
       PageReadFault::kLinkFailed,
       {0xDD, 0x2C, 0x01, 0x01},
       120,
       {}},
  };
  for (const PageCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInFileSystemMode());
    sim::FlashStore& flash = features().flash;
    // Contents that differ in every byte of the page, so that a chunk in
    // the wrong place shows.
    DataPage data;
    data.next_page = 301;
    SetFileId(data.file_id, 0x012345);
    data.data_size = kPageDataBytes;
    for (std::size_t i = 0; i < kPageDataBytes; ++i) {
      data.data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    flash.page(300) = data;
    flash.entry(3).first_page = 300;
    SetFileId(flash.entry(3).file_id, 0x012345);
    if (row.fault) row.fault(*rig_);

    std::uint8_t buffer[kDataPageSize] = {};
    PageReadFault why = PageReadFault::kLinkFailed;
    EXPECT_EQ(ReadPage(row.page, buffer, &why), row.result);
    EXPECT_EQ(why, row.why);
    EXPECT_EQ(received(), row.received);
    const auto bytes = flash.PageBytes(row.page);
    EXPECT_EQ(sent(), Join(Bytes(bytes.begin(), bytes.begin() + row.pageBytes), row.tail));
    if (row.result == 0) {
      EXPECT_EQ(Bytes(buffer, buffer + kDataPageSize), Bytes(bytes.begin(), bytes.end()));
    }
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
    EXPECT_TRUE(g_device.IsOpen());
  }
}

TEST_P(FsProtocolTest, MarkDownloaded) {
  struct MarkCase {
    const char* name;
    unsigned index;
    Fault fault;
    int result;
    Bytes received;
    Bytes sent;
    // Bit n: entry n reads as downloaded afterwards.
    std::uint16_t downloaded;
  };
  const MarkCase cases[] = {
      {"entry 3", 3, nullptr, 0, {0xDF, 0x13}, {0xDF, 0x00}, 1u << 3},
      {"entry 16, which the guider does not have", 16, nullptr, 1, {0xDF, 0x20}, {0xDF, 0x01}, 0},
      {"entry 17 is not sent", 17, nullptr, 2, {}, {}, 0},
      {"refused",
       3,
       [](GuiderRig& r) { r.features().fileSystem.refusedMarks = 1; },
       1,
       {0xDF, 0x13},
       {0xDF, 0x01},
       0},
      {"wrong echo",
       3,
       [](GuiderRig& r) { r.guider().ReplaceSentByte(1, 0x42); },
       1,
       {0xDF},
       {0x42},
       0},
  };
  for (const MarkCase& row : cases) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(StartInFileSystemMode());
    // Erased entries read as downloaded; here none is yet.
    for (int i = 0; i < sim::FlashStore::kEntries; ++i) features().flash.entry(i).flags = 0;
    if (row.fault) row.fault(*rig_);
    EXPECT_EQ(MarkDownloaded(row.index), row.result);
    EXPECT_EQ(received(), row.received);
    EXPECT_EQ(sent(), row.sent);
    std::uint16_t downloaded = 0;
    for (int i = 0; i < sim::FlashStore::kEntries; ++i) {
      if (features().flash.entry(i).flags & kDownloadedFlag) downloaded |= 1u << i;
    }
    EXPECT_EQ(downloaded, row.downloaded);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(std::string(g_protocolMessage), kEarlierText);
    EXPECT_TRUE(g_device.IsOpen());
  }
}

}  // namespace ktal::testing
