// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/guider_features.h"

#include "sim/log_writer.h"
#include "sim/session_generator.h"
#include "sim/vui_requests.h"

namespace ktal::sim {

void InstallFeatureRequests(HandController& controller, GuiderFeatures& features) {
  InstallFileSystemRequests(controller, features.flash, features.fileSystem);
  InstallUpdateModeRequests(controller, features.update);
  InstallVuiRequests(controller, features.panel);
  InstallCameraRequests(controller, features.camera);
}

namespace {

struct Night {
  std::uint16_t date;
  int startHour;
  int exposures;
  int externalExposures;
  double positionRunSeconds;
  double frameSeconds;
  double exposureSeconds;
};

DirectoryEntry EntryFor(std::uint16_t startDate, int startHour, std::uint16_t endDate,
                        std::uint32_t endTenths) {
  DirectoryEntry entry;
  entry.created_date = startDate;
  entry.created_time = PackTime(startHour, 0);
  entry.modified_date = endDate;
  entry.modified_time =
      PackTime(static_cast<int>(endTenths / 36000), static_cast<int>(endTenths / 600 % 60));
  return entry;
}

}  // namespace

void FillDemoStore(FlashStore& flash) {
  // The long night guides a bright star at five frames a second, all night.
  const Night nights[] = {
      {PackDate(2026, 11, 28), 20, 4, 1, 1200.0, 2.0, 300.0},
      {PackDate(2026, 11, 29), 21, 3, 0, 0.0, 2.0, 300.0},
      {PackDate(2026, 12, 2), 19, 2, 2, 900.0, 2.0, 300.0},
      {PackDate(2026, 12, 5), 18, 40, 0, 1800.0, 0.2, 900.0},
      {PackDate(2026, 12, 7), 22, 5, 1, 1500.0, 2.0, 300.0},
  };
  std::uint32_t fileId = 0x00002a;
  std::uint32_t seed = 7;
  for (const Night& night : nights) {
    SessionOptions options;
    options.seed = seed++;
    options.start_date = night.date;
    options.start_tenths = static_cast<std::uint32_t>(night.startHour) * 36000;
    options.exposures = night.exposures;
    options.external_exposures = night.externalExposures;
    options.position_run_s = night.positionRunSeconds;
    options.star_dec_deg = 12.5;
    options.frame_interval_s = night.frameSeconds;
    options.frame_jitter_s = night.frameSeconds / 10;
    options.exposure_s = night.exposureSeconds;

    LogWriter writer;
    std::uint16_t endDate = options.start_date;
    std::uint32_t endTenths = options.start_tenths;
    writer.Append(GenerateSession(options, &endDate, &endTenths));
    flash.AddFile(writer.Pages(fileId), fileId,
                  EntryFor(night.date, night.startHour, endDate, endTenths));
    fileId += 3;
  }
  // The first night was fetched before; the third was deleted on the guider.
  flash.entry(0).flags |= kDownloadedFlag;
  flash.DeleteFile(2);
}

}  // namespace ktal::sim
