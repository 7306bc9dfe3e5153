// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the fuzz harnesses' first inputs, made by the project's own
// generators, into <folder>/raw_log, <folder>/firmware_file and
// <folder>/protocol:
// - raw logs from the session generator and the log writer: guided
//   exposures, a run of star positions, a reopened file, external
//   exposures, the smallest log;
// - firmware files from the firmware file builder;
// - for every exchange, the simulated guider's answers recorded as a
//   script. Each script is replayed on the scripted driver at once, and
//   must end with the results the simulated guider gave; otherwise the
//   seeds are not written and the program fails.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera/camera_protocol.h"
#include "guidelog/log_format.h"
#include "link/ftdi_device.h"
#include "sim/firmware_files.h"
#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "sim/simulated_guider.h"
#include "tests/fuzz/exchanges.h"
#include "tests/fuzz/scripted_driver.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

bool WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// ---- Raw logs ----

ktal::DirectoryEntry EntryFor(std::uint32_t fileId) {
  ktal::DirectoryEntry entry;
  entry.first_page = 17;
  ktal::SetFileId(entry.file_id, fileId);
  entry.created_date = ktal::PackDate(2014, 3, 21);
  entry.created_time = ktal::PackTime(21, 0);
  return entry;
}

Bytes SessionLog(const ktal::SessionOptions& options, std::uint32_t fileId) {
  ktal::LogWriter writer;
  ktal::WriteSession(options, writer);
  return writer.RawFile(EntryFor(fileId));
}

std::vector<Bytes> RawLogSeeds() {
  std::vector<Bytes> logs;
  ktal::SessionOptions guided;
  guided.exposures = 2;
  guided.exposure_s = 60;
  guided.pause_s = 5;
  logs.push_back(SessionLog(guided, 0x2a));

  ktal::SessionOptions positions = guided;
  positions.seed = 2;
  positions.position_run_s = 600;
  positions.exposures = 1;
  positions.star_dec_deg = 30;
  logs.push_back(SessionLog(positions, 0x2b));

  ktal::SessionOptions reopened = guided;
  reopened.seed = 3;
  reopened.reopen = true;
  reopened.external_exposures = 2;
  reopened.lost_star_probability = 0.2;
  logs.push_back(SessionLog(reopened, 0x2c));

  // The smallest log: an open record only.
  ktal::SessionOptions empty = guided;
  empty.exposures = 0;
  empty.variables = false;
  empty.debug_values = false;
  empty.markers = false;
  logs.push_back(SessionLog(empty, 0x2d));

  // Each seed leads with its report settings: both CSV dialects, every
  // focal length, worm period and declination of the harness's tables.
  const std::uint8_t settings[] = {0x00, 0x17, 0x4a, 0x79};
  for (std::size_t i = 0; i < logs.size(); ++i)
    logs[i].insert(logs[i].begin(), settings[i % std::size(settings)]);
  return logs;
}

// ---- Firmware files ----

std::vector<Bytes> FirmwareSeeds() {
  std::vector<Bytes> files;
  // Short images, so that the fuzzer spends its time on the header.
  using ktal::FirmwareImage;
  using ktal::PseudoRandomImage;
  files.push_back(ktal::BuildFirmwareFile(FirmwareImage{0x0250, PseudoRandomImage(64, 1)},
                                          FirmwareImage{0x0250, PseudoRandomImage(32, 2)},
                                          FirmwareImage{0x0101, PseudoRandomImage(2049, 3)}));
  files.push_back(ktal::BuildFirmwareFile(FirmwareImage{0x0260, PseudoRandomImage(48, 4)},
                                          std::nullopt, std::nullopt));
  files.push_back(ktal::BuildFirmwareFile(
      std::nullopt, FirmwareImage{0x0250, PseudoRandomImage(40, 5)}, std::nullopt));
  files.push_back(ktal::BuildFirmwareFile(FirmwareImage{0x0261, PseudoRandomImage(16, 6)},
                                          FirmwareImage{0x0250, PseudoRandomImage(16, 7)},
                                          FirmwareImage{0x0101, PseudoRandomImage(100, 8)}));
  return files;
}

// ---- Protocol scripts ----

// Passes every call to the simulated guider's driver and writes down what
// the host read after each open and each write, as scripted answers.
class RecordingDriver final : public ktal::FtdiDriver {
 public:
  explicit RecordingDriver(ktal::FtdiDriver& inner) : inner_(inner) {}

  Bytes Script(std::uint8_t selector) const {
    Bytes script{selector};
    for (const Bytes& answer : answers_) {
      script.push_back(static_cast<std::uint8_t>(answer.size()));
      script.push_back(static_cast<std::uint8_t>(answer.size() >> 8));
      script.insert(script.end(), answer.begin(), answer.end());
    }
    return script;
  }
  bool fits() const {
    for (const Bytes& answer : answers_)
      if (answer.size() > ktal::fuzz::kLongestAnswer) return false;
    return true;
  }

  ktal::FtStatus CreateDeviceInfoList(std::uint32_t* count) override {
    return inner_.CreateDeviceInfoList(count);
  }
  ktal::FtStatus GetDeviceInfoList(ktal::FtDeviceListInfoNode* list,
                                   std::uint32_t* count) override {
    return inner_.GetDeviceInfoList(list, count);
  }
  ktal::FtStatus Open(int index, ktal::FtHandle* handle) override {
    const ktal::FtStatus status = inner_.Open(index, handle);
    if (status == ktal::FT_OK) answers_.emplace_back();
    return status;
  }
  ktal::FtStatus Close(ktal::FtHandle handle) override { return inner_.Close(handle); }
  ktal::FtStatus SetDataCharacteristics(ktal::FtHandle handle, std::uint8_t word, std::uint8_t stop,
                                        std::uint8_t parity) override {
    return inner_.SetDataCharacteristics(handle, word, stop, parity);
  }
  ktal::FtStatus SetBaudRate(ktal::FtHandle handle, std::uint32_t baud) override {
    return inner_.SetBaudRate(handle, baud);
  }
  ktal::FtStatus SetTimeouts(ktal::FtHandle handle, std::uint32_t read,
                             std::uint32_t write) override {
    return inner_.SetTimeouts(handle, read, write);
  }
  ktal::FtStatus SetLatencyTimer(ktal::FtHandle handle, std::uint8_t ms) override {
    return inner_.SetLatencyTimer(handle, ms);
  }
  ktal::FtStatus SetUSBParameters(ktal::FtHandle handle, std::uint32_t in,
                                  std::uint32_t out) override {
    return inner_.SetUSBParameters(handle, in, out);
  }
  ktal::FtStatus GetDeviceInfo(ktal::FtHandle handle, std::uint32_t* type, std::uint32_t* id,
                               char* serial, char* description) override {
    return inner_.GetDeviceInfo(handle, type, id, serial, description);
  }
  ktal::FtStatus Purge(ktal::FtHandle handle, std::uint32_t mask) override {
    return inner_.Purge(handle, mask);
  }
  ktal::FtStatus Write(ktal::FtHandle handle, const void* buffer, std::uint32_t count,
                       std::uint32_t* written) override {
    const ktal::FtStatus status = inner_.Write(handle, buffer, count, written);
    if (status == ktal::FT_OK) answers_.emplace_back();
    return status;
  }
  ktal::FtStatus Read(ktal::FtHandle handle, void* buffer, std::uint32_t count,
                      std::uint32_t* read) override {
    const ktal::FtStatus status = inner_.Read(handle, buffer, count, read);
    if (status == ktal::FT_OK && *read > 0 && !answers_.empty()) {
      const auto* bytes = static_cast<const std::uint8_t*>(buffer);
      answers_.back().insert(answers_.back().end(), bytes, bytes + *read);
    }
    return status;
  }
  ktal::FtStatus GetQueueStatus(ktal::FtHandle handle, std::uint32_t* rx) override {
    return inner_.GetQueueStatus(handle, rx);
  }
  ktal::FtStatus GetStatus(ktal::FtHandle handle, std::uint32_t* rx, std::uint32_t* tx,
                           std::uint32_t* events) override {
    return inner_.GetStatus(handle, rx, tx, events);
  }
  ktal::FtStatus SetBitMode(ktal::FtHandle handle, std::uint8_t mask, std::uint8_t mode) override {
    return inner_.SetBitMode(handle, mask, mode);
  }
  ktal::FtStatus GetBitMode(ktal::FtHandle handle, std::uint8_t* mode) override {
    return inner_.GetBitMode(handle, mode);
  }
  ktal::FtStatus ResetDevice(ktal::FtHandle handle) override { return inner_.ResetDevice(handle); }

 private:
  ktal::FtdiDriver& inner_;
  std::vector<Bytes> answers_;
};

// One small log in the guider's flash, so that a page chain gets walked.
void StoreSmallLog(ktal::sim::FlashStore& flash) {
  ktal::SessionOptions options;
  options.exposures = 1;
  options.exposure_s = 60;
  ktal::LogWriter writer;
  ktal::WriteSession(options, writer);
  const std::uint32_t fileId = 0x31;
  flash.AddFile(writer.Pages(fileId), fileId, EntryFor(fileId));
}

// Valid hot-pixel maps in the camera's memory: two single pixels in 1x1,
// one in 2x2.
void StoreMaps(ktal::sim::CameraState& camera) {
  camera.memory[0] = ktal::kMapsValid;
  const std::uint8_t table1x1[] = {2, 10, 0, 20, 0, 0x0F, 200, 1, 100, 0, 0x03};
  std::copy(std::begin(table1x1), std::end(table1x1), camera.memory.begin() + 1);
  const std::uint8_t table2x2[] = {1, 5, 0, 6, 0, 0x0C};
  std::copy(std::begin(table2x2), std::end(table2x2), camera.memory.begin() + 256);
}

struct ScriptSeed {
  std::string name;
  ktal::fuzz::Exchange exchange;
  ktal::sim::HandControllerConfig config;
  void (*prepare)(ktal::sim::SimulatedGuider&) = nullptr;
};

std::vector<ScriptSeed> ScriptSeeds() {
  using ktal::fuzz::Exchange;
  using ktal::sim::ControllerMode;
  ktal::sim::HandControllerConfig boot;
  boot.startMode = ControllerMode::kBootLoader;
  ktal::sim::HandControllerConfig old;
  old.firmwareVersion = 0x0204;
  return {
      {"connect_boot", Exchange::kConnectCommandMode, boot},
      {"connect_running", Exchange::kConnectCommandMode, {}},
      {"probe_boot", Exchange::kProbeAndStart, boot},
      {"probe_normal", Exchange::kProbeAndStart, {}},
      {"enter_modes", Exchange::kEnterModes, {}},
      {"enter_modes_from_boot", Exchange::kEnterModes, boot},
      {"file_system",
       Exchange::kFileSystem,
       {},
       [](ktal::sim::SimulatedGuider& sim) { StoreSmallLog(sim.flash()); }},
      {"file_system_empty", Exchange::kFileSystem, {}},
      {"update_versions", Exchange::kUpdateVersions, {}},
      {"upload_hc", Exchange::kUploadHc, {}},
      {"upload_cam", Exchange::kUploadCam, {}},
      {"upload_ccdb", Exchange::kUploadCcdb, {}},
      {"eeprom", Exchange::kEeprom, {}},
      {"camera_setup_off", Exchange::kCameraSetup, {}},
      {"camera_setup_running",
       Exchange::kCameraSetup,
       {},
       [](ktal::sim::SimulatedGuider& sim) { sim.features().camera.state = 1; }},
      {"camera_maps_none",
       Exchange::kCameraMaps,
       {},
       [](ktal::sim::SimulatedGuider& sim) { sim.features().camera.state = 1; }},
      {"camera_maps",
       Exchange::kCameraMaps,
       {},
       [](ktal::sim::SimulatedGuider& sim) {
         sim.features().camera.state = 1;
         StoreMaps(sim.features().camera);
       }},
      {"exposure",
       Exchange::kExposure,
       {},
       [](ktal::sim::SimulatedGuider& sim) { sim.features().camera.state = 1; }},
      {"screen", Exchange::kScreen, {}},
      {"screen_old_firmware", Exchange::kScreen, old},
  };
}

// Records one exchange on the simulated guider, replays it on the scripted
// driver, and gives the script when both ended alike.
bool RecordScript(const ScriptSeed& seed, Bytes* script) {
  std::vector<int> recorded;
  {
    ktal::sim::SimulatedGuider sim(seed.config);
    if (seed.prepare != nullptr) seed.prepare(sim);
    RecordingDriver recorder(sim.driver());
    ktal::g_device.AttachDriver(&recorder, &sim.clock());
    recorded = ktal::fuzz::RunExchange(seed.exchange);
    ktal::g_device.AttachDriver(nullptr, &sim.clock());
    if (!recorder.fits()) {
      std::fprintf(stderr, "%s: an answer is too long for a script\n", seed.name.c_str());
      return false;
    }
    *script = recorder.Script(static_cast<std::uint8_t>(seed.exchange));
  }
  ktal::fuzz::ScriptClock clock;
  ktal::fuzz::ScriptedDriver replay(std::span<const std::uint8_t>(*script).subspan(1), clock);
  ktal::g_device.AttachDriver(&replay, &clock);
  const std::vector<int> replayed = ktal::fuzz::RunExchange(ktal::fuzz::ExchangeOf((*script)[0]));
  ktal::g_device.AttachDriver(nullptr, &clock);
  if (replayed != recorded) {
    std::fprintf(stderr, "%s: the replay ended otherwise:", seed.name.c_str());
    for (const int r : recorded) std::fprintf(stderr, " %d", r);
    std::fprintf(stderr, " recorded, ");
    for (const int r : replayed) std::fprintf(stderr, " %d", r);
    std::fprintf(stderr, " replayed\n");
    return false;
  }
  std::printf("%-22s %5zu bytes, results", seed.name.c_str(), script->size());
  for (const int r : recorded) std::printf(" %d", r);
  std::printf("\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const fs::path folder = argv[1];
  std::error_code error;
  for (const char* part : {"raw_log", "firmware_file", "protocol"})
    fs::create_directories(folder / part, error);

  bool ok = true;
  int index = 0;
  for (const Bytes& log : RawLogSeeds())
    ok = WriteFile(folder / "raw_log" / ("session" + std::to_string(++index)), log) && ok;
  index = 0;
  for (const Bytes& file : FirmwareSeeds())
    ok = WriteFile(folder / "firmware_file" / ("file" + std::to_string(++index) + ".fw"), file) &&
         ok;
  for (const ScriptSeed& seed : ScriptSeeds()) {
    Bytes script;
    if (!RecordScript(seed, &script)) {
      ok = false;
      continue;
    }
    ok = WriteFile(folder / "protocol" / seed.name, script) && ok;
  }
  return ok ? 0 : 1;
}
