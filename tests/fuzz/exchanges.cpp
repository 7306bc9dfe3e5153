// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/fuzz/exchanges.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "camera/camera_protocol.h"
#include "filesystem/download_run.h"
#include "filesystem/fs_protocol.h"
#include "firmware/firmware_file.h"
#include "firmware/update_protocol.h"
#include "firmware/variable_set.h"
#include "guidelog/guide_log.h"
#include "link/ftdi_device.h"
#include "link/handshakes.h"
#include "sim/firmware_files.h"
#include "vui/vui_protocol.h"

namespace ktal::fuzz {

namespace {

[[noreturn]] void Broken(const char* what, int result) {
  std::fprintf(stderr, "broken promise: %s (result %d)\n", what, result);
  std::abort();
}

// Every result an exchange got, in order, so that a recorded exchange can be
// shown to replay to the same ending.
class Results {
 public:
  explicit Results(std::vector<int>& out) : out_(out) {}
  // The result must be one of those documented.
  int Expect(const char* what, int result, std::initializer_list<int> allowed) {
    out_.push_back(result);
    for (const int code : allowed)
      if (result == code) return result;
    Broken(what, result);
  }
  int Note(int result) {
    out_.push_back(result);
    return result;
  }

 private:
  std::vector<int>& out_;
};

void ExpectClosed(const char* what, int result) {
  if (g_device.IsOpen()) Broken(what, result);
}

void ExpectTextsEnd() {
  if (std::memchr(g_protocolMessage, 0, sizeof g_protocolMessage) == nullptr)
    Broken("g_protocolMessage unterminated", 0);
  if (std::memchr(g_device.errorText, 0, sizeof g_device.errorText) == nullptr)
    Broken("errorText unterminated", 0);
}

// Handshake into a running mode; false (link closed) when it failed.
bool Enter(Results& r, int mode) {
  const int entered = r.Expect("EnterDeviceMode", EnterDeviceMode(mode), {0, 1, -1});
  if (entered != 0) ExpectClosed("EnterDeviceMode failed", entered);
  return entered == 0;
}

// A small firmware file as the firmware window loads it: the images are
// short so that a script can answer every acknowledgement. The
// hand-controller image ends in a short block, as real ones do.
const LoadedFirmware& SmallFirmware() {
  static const LoadedFirmware firmware = [] {
    FirmwareFileLoad load = ParseFirmwareFile(
        BuildFirmwareFile(FirmwareImage{0x0260, PseudoRandomImage(298, 1)},
                          FirmwareImage{0x0250, PseudoRandomImage(200, 2)},
                          FirmwareImage{0x0101, PseudoRandomImage(kCcdbImageLength, 3)}));
    if (load.status != FirmwareFileStatus::kOk) Broken("sample firmware refused", 0);
    return load.firmware;
  }();
  return firmware;
}

void FileSystem(Results& r) {
  if (!Enter(r, kNormalMode)) return;
  if (r.Expect("EnterFileSystemMode", EnterFileSystemMode(), {0, 1}) != 0) {
    ExpectClosed("EnterFileSystemMode failed", 1);
    return;
  }
  std::uint8_t directory[kDataPageSize];
  if (r.Expect("ReadPage directory", ReadPage(kDirectoryPage, directory), {0, 1}) == 0) {
    for (unsigned index = 0; index < static_cast<unsigned>(kDirectoryEntries); ++index) {
      const DirectoryEntry entry = DecodeDirectoryEntry(directory + index * kDirectoryEntrySize);
      if (entry.first_page >= kFirstUnreachablePage) continue;
      GuideLog log;
      if (log.BeginLog(entry.created_date, entry.created_time, entry.modified_date,
                       entry.modified_time) != 0)
        break;
      int lastCount = 0;
      const WalkResult walk = WalkPageChain(entry, log, [&](int pages) {
        lastCount = pages;
        return true;
      });
      r.Note(walk.pages);
      r.Note(lastCount);
      if (walk.pages > kFlashPages || log.page_count > kMaxLogPages)
        Broken("chain too long", walk.pages);
      if (walk.readFault == PageReadFault::kNone)
        r.Expect("MarkDownloaded", MarkDownloaded(index), {0, 1});
      break;
    }
  }
  if (g_device.IsOpen()) r.Expect("LeaveFileSystemMode", LeaveFileSystemMode(), {0, 1});
}

void Upload(Results& r, Exchange which) {
  if (!Enter(r, kUpdateMode)) return;
  const LoadedFirmware& fw = SmallFirmware();
  const std::span<const std::uint8_t> file(fw.contents);
  constexpr std::size_t kVersionWord = 2;
  int result = 0;
  switch (which) {
    case Exchange::kUploadHc:
      result =
          r.Expect("UploadHC", UploadHC(file, fw.hcOffset + kVersionWord, fw.hcImageLength, {}),
                   {0, 3, 4, -1});
      break;
    case Exchange::kUploadCam:
      result = r.Expect("UploadCam",
                        UploadCam(file, fw.cameraOffset + kVersionWord, fw.cameraImageLength, {}),
                        {0, 1, 2, 3, 4, -1});
      break;
    default:
      result = r.Expect("UploadCCDB",
                        UploadCCDB(file, fw.ccdbOffset + kVersionWord, kCcdbImageLength, {}),
                        {0, 1, 2, 4, -1});
      break;
  }
  if (result == -1) ExpectClosed("upload failed on the link", result);
}

void Eeprom(Results& r) {
  if (!Enter(r, kUpdateMode)) return;
  VariableSet variables;
  variables.SetDefaults();
  const int read = r.Note(DownloadEEPROM(variables, {}));
  if (read == -1) {
    ExpectClosed("DownloadEEPROM link failure", read);
    return;
  }
  if (read < 0 || read > kWrongByteZero) Broken("DownloadEEPROM", read);
  if (read != 0) return;
  const int written = r.Note(UploadEEPROM(variables, {}, false));
  if (written < -1 || written > kWrongByteZero) Broken("UploadEEPROM", written);
}

bool EnterCamera(Results& r) {
  const int entered = r.Expect("EnterCameraMode", EnterCameraMode(), {0, 1, 100, -1});
  if (entered == 1 || entered == -1) ExpectClosed("EnterCameraMode failed", entered);
  return entered == 0;
}

void CameraSetup(Results& r) {
  if (!Enter(r, kNormalMode) || !EnterCamera(r)) return;
  const int state = r.Note(QueryCameraState());
  if (state < -2 || state > 0xFF) Broken("QueryCameraState", state);
  if (state == 0) {
    const int started = r.Note(StartCamera());
    if (started < -2 || started > 0xFF) Broken("StartCamera", started);
  }
  if (state >= 0) {
    const int set = SetCameraParameters(0, 8, 4);
    r.Expect("SetCameraParameters", set, {0, -1, 1, 2, 3, 4});
  }
  if (g_device.IsOpen()) r.Note(LeaveCameraMode());
}

void CameraMaps(Results& r) {
  if (!Enter(r, kNormalMode) || !EnterCamera(r)) return;
  HotPixelMapRecord record;
  std::memset(&record, 0xA5, sizeof record);
  if (r.Note(ReadHotPixelMaps(record)) != 0 && (record.count1x1 != 0 || record.count2x2 != 0))
    Broken("failed map read left a table", record.count1x1);
  if (record.count1x1 > kMaxHotPixels || record.count2x2 > kMaxHotPixels)
    Broken("map count above the table", record.count1x1);
  if (record.marker == kMapsValid && g_device.IsOpen()) {
    const int stored = r.Note(StoreHotPixelMaps(record));
    if (stored == kMapsTooLong) Broken("whole maps refused", stored);
  }
  if (g_device.IsOpen()) r.Note(LeaveCameraMode());
}

void Exposure(Results& r) {
  if (!Enter(r, kNormalMode) || !EnterCamera(r)) return;
  // Two download blocks and a part of a third: small enough for a script.
  ExposureRequest request = DarkFrameRequest();
  request.width = 160;
  request.height = 52;
  request.readoutMode = 1;
  request.exposureTicks = 100;
  const int exposed = ExposeAndDownload(request);
  r.Expect("ExposeAndDownload", exposed, {0, 1, 2, 3, 4, 5, -1, -10, -12});
  if (g_device.IsOpen()) r.Note(LeaveCameraMode());
}

void Screen(Results& r) {
  if (!Enter(r, kNormalMode)) return;
  ConfigureScreenPollLink(g_device);
  std::uint16_t version = 0;
  if (r.Expect("ReadFirmwareVersion", ReadFirmwareVersion(g_device, &version), {0, -1}) != 0)
    return;
  std::uint8_t band[kBandBytes];
  for (int index = 0; index < kScreenBands; ++index) {
    if (r.Expect("ReadScreenBand", ReadScreenBand(g_device, index, band),
                 {kVuiOk, kVuiTimedOut, kVuiWrongEcho, kVuiLinkFailed}) != kVuiOk)
      return;
  }
  std::uint8_t leds = 0;
  r.Expect("ReadLeds", ReadLeds(g_device, &leds),
           {kVuiOk, kVuiTimedOut, kVuiWrongEcho, kVuiNoLedByte, kVuiLinkFailed});
  if (r.Expect("SendKey", SendKey(g_device, kKeySet), {0, -1}) == 0 &&
      version >= kKeyReleaseVersion)
    r.Expect("SendKey release", SendKey(g_device, kKeySet | kKeyReleased), {0, -1});
}

}  // namespace

Exchange ExchangeOf(std::uint8_t selector) {
  return static_cast<Exchange>(selector % static_cast<std::uint8_t>(Exchange::kCount));
}

std::vector<int> RunExchange(Exchange exchange) {
  std::vector<int> results;
  Results r(results);
  g_protocolMessage[0] = '\0';
  switch (exchange) {
    case Exchange::kConnectCommandMode: {
      const int connected = r.Expect("ConnectCommandMode", ConnectCommandMode(), {0, 1, 2, -1});
      if (connected == 2 || connected == -1) ExpectClosed("ConnectCommandMode", connected);
      break;
    }
    case Exchange::kProbeAndStart: {
      const int mode = r.Expect("ProbeDeviceMode", ProbeDeviceMode(), {1, 2, 3, -1});
      if (mode == -1) ExpectClosed("ProbeDeviceMode", mode);
      if (mode == kBootMode) {
        const int started = r.Expect("StartFirmware", StartFirmware(), {0, -1});
        if (started == -1) ExpectClosed("StartFirmware", started);
        if (started == 0) r.Expect("ProbeDeviceMode again", ProbeDeviceMode(), {1, 2, 3, -1});
      }
      break;
    }
    case Exchange::kEnterModes:
      if (Enter(r, kUpdateMode) && Enter(r, kNormalMode)) {
        const int version = r.Note(QueryFirmwareVersion(0x0204));
        if (version == -1) ExpectClosed("QueryFirmwareVersion", version);
        if (version < -1 || version > 0xFFFF || (version > 1 && version < 0x0204))
          Broken("QueryFirmwareVersion", version);
      }
      break;
    case Exchange::kFileSystem:
      FileSystem(r);
      break;
    case Exchange::kUpdateVersions:
      if (Enter(r, kUpdateMode)) {
        UpdateModeVersions versions;
        r.Expect("ReadUpdateModeVersions", ReadUpdateModeVersions(versions), {0, 1, -1});
      }
      break;
    case Exchange::kUploadHc:
    case Exchange::kUploadCam:
    case Exchange::kUploadCcdb:
      Upload(r, exchange);
      break;
    case Exchange::kEeprom:
      Eeprom(r);
      break;
    case Exchange::kCameraSetup:
      CameraSetup(r);
      break;
    case Exchange::kCameraMaps:
      CameraMaps(r);
      break;
    case Exchange::kExposure:
      Exposure(r);
      break;
    case Exchange::kScreen:
      Screen(r);
      break;
    case Exchange::kCount:
      break;
  }
  ExpectTextsEnd();
  g_device.Close();
  return results;
}

}  // namespace ktal::fuzz
