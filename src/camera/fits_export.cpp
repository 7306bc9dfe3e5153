// SPDX-License-Identifier: GPL-3.0-or-later
#include "camera/fits_export.h"

#include <fcntl.h>
#include <fitsio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace ktal {
namespace {

constexpr char kCreator[] = "ktal-companion " KTAL_VERSION;
constexpr char kInstrument[] = "Orvelia K-Tal guiding camera";
// Temporary names tried beside the target before giving up.
constexpr int kTemporaryNames = 100;

// A FITS file CFITSIO builds in memory; the buffer outlives the closed file
// and is freed here.
class MemoryFits {
 public:
  MemoryFits() { fits_create_memfile(&file_, &buffer_, &size_, 0, std::realloc, &status_); }
  ~MemoryFits() {
    if (file_ != nullptr) {
      int ignored = 0;
      fits_close_file(file_, &ignored);
    }
    std::free(buffer_);
  }
  MemoryFits(const MemoryFits&) = delete;
  MemoryFits& operator=(const MemoryFits&) = delete;

  fitsfile* file() const { return file_; }
  // CFITSIO's running status: once nonzero, its calls do nothing.
  int& status() { return status_; }

  // Closes the file; the bytes are then in buffer() and size().
  bool Close() {
    if (file_ != nullptr) fits_close_file(file_, &status_);
    file_ = nullptr;
    return status_ == 0;
  }
  const void* buffer() const { return buffer_; }
  std::size_t size() const { return size_; }

  std::string ErrorText() const {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status_, text);
    return text;
  }

  // ---- Header cards of the current HDU ----

  void Text(const char* key, const std::string& value, const char* comment) {
    fits_write_key_str(file_, key, value.c_str(), comment, &status_);
  }
  void Integer(const char* key, long value, const char* comment) {
    fits_write_key_lng(file_, key, value, comment, &status_);
  }
  // Seven significant digits: a float's decimal as it was written (7.5,
  // 2.77), not its binary expansion.
  void Real(const char* key, float value, const char* comment) {
    fits_write_key_flt(file_, key, value, -7, comment, &status_);
  }
  void Real(const char* key, double value, const char* comment) {
    fits_write_key_dbl(file_, key, value, -15, comment, &status_);
  }
  void Comment(const char* text) { fits_write_comment(file_, text, &status_); }

 private:
  fitsfile* file_ = nullptr;
  void* buffer_ = nullptr;
  std::size_t size_ = 0;
  int status_ = 0;
};

// Cards every HDU of both files carries.
void WriteOrigin(MemoryFits& fits) {
  fits.Text("INSTRUME", kInstrument, "camera the data come from");
  fits.Text("CREATOR", kCreator, "program that wrote this file");
  fits_write_date(fits.file(), &fits.status());
}

void WriteDarkOrigin(MemoryFits& fits, double exposureSeconds, int framesStacked,
                     const std::optional<std::time_t>& firstExposureUtc) {
  fits.Real("EXPTIME", exposureSeconds, "[s] exposure of each dark frame");
  fits.Integer("STACKCNT", framesStacked, "dark frames stacked");
  if (firstExposureUtc) {
    fits.Text("DATE-OBS", FitsDateTime(*firstExposureUtc), "UTC start of the first exposure");
  }
}

void WriteMapSource(MemoryFits& fits, bool found) {
  if (found) {
    fits.Text("MAPSRC", "search", "found in the master dark by this program");
  } else {
    fits.Text("MAPSRC", "camera", "read from the camera's map store");
  }
}

std::string Describe(const std::string& what, const std::string& path, int error) {
  return what + " '" + path + "': " + std::strerror(error);
}

bool WriteAll(int fd, const void* bytes, std::size_t size) {
  const auto* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = ::write(fd, at, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Makes the rename itself durable; a folder that cannot be synced costs
// only that.
void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// The bytes go to a name no one else holds (O_EXCL never follows or reuses
// anything already there), reach the disk, and only then take `path`.
int ReplaceFile(const std::string& path, const void* bytes, std::size_t size, std::string& text) {
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (folder.empty()) folder = ".";
  std::string temporary;
  int fd = -1;
  for (int i = 0; i < kTemporaryNames && fd < 0; ++i) {
    temporary = path + (i == 0 ? std::string() : "." + std::to_string(i)) + ".tmp";
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    text = Describe("Can't create a file in", folder.string(), errno);
    return kFitsCannotCreate;
  }
  const bool written = WriteAll(fd, bytes, size) && ::fsync(fd) == 0;
  const int writeError = errno;
  if (::close(fd) != 0 || !written) {
    const int error = written ? errno : writeError;
    ::unlink(temporary.c_str());
    text = Describe("Can't write", temporary, error);
    return kFitsCannotWrite;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    text = Describe("Can't replace", path, error);
    return kFitsCannotRename;
  }
  SyncFolder(folder);
  return kFitsWritten;
}

int Finish(MemoryFits& fits, const std::string& path, std::string& text) {
  if (!fits.Close()) {
    text = "FITS library error: " + fits.ErrorText();
    return kFitsLibraryError;
  }
  return ReplaceFile(path, fits.buffer(), fits.size(), text);
}

void WriteHotPixelTable(MemoryFits& fits, const char* name, const HotPixelEntry* entries, int count,
                        int binning, const std::optional<HotPixelSearchFacts>& search) {
  char* types[] = {const_cast<char*>("X"), const_cast<char*>("Y"), const_cast<char*>("FLAGS")};
  char* forms[] = {const_cast<char*>("1I"), const_cast<char*>("1I"), const_cast<char*>("1B")};
  char* units[] = {const_cast<char*>("pixel"), const_cast<char*>("pixel"), const_cast<char*>("")};
  fits_create_tbl(fits.file(), BINARY_TBL, count, 3, types, forms, units, name, &fits.status());
  std::vector<short> xs(count);
  std::vector<short> ys(count);
  std::vector<unsigned char> flags(count);
  for (int i = 0; i < count; ++i) {
    xs[i] = static_cast<short>(entries[i].x);
    ys[i] = static_cast<short>(entries[i].y);
    flags[i] = entries[i].flags;
  }
  if (count > 0) {
    fits_write_col(fits.file(), TSHORT, 1, 1, 1, count, xs.data(), &fits.status());
    fits_write_col(fits.file(), TSHORT, 2, 1, 1, count, ys.data(), &fits.status());
    fits_write_col(fits.file(), TBYTE, 3, 1, 1, count, flags.data(), &fits.status());
  }
  fits_modify_comment(fits.file(), "TTYPE1", "column of the hot pixel", &fits.status());
  fits_modify_comment(fits.file(), "TTYPE2", "row of the hot pixel", &fits.status());
  fits_modify_comment(fits.file(), "TTYPE3", "neighbours that may stand in for it", &fits.status());

  fits.Integer("XYORIGIN", 0, "X and Y count from 0 (0, 0: top-left pixel)");
  fits.Integer("XBINNING", binning, "binning of the frame X and Y lie in");
  fits.Integer("YBINNING", binning, "binning of the frame X and Y lie in");
  fits.Integer("FRAMEW", kFrameWidth / binning, "[pixel] width of that frame");
  fits.Integer("FRAMEH", kFrameHeight / binning, "[pixel] height of that frame");
  if (binning == 1) {
    fits.Comment("Row 0 is the sensor's top row: pixel (X, Y) is FITS pixel (X+1, Y+1)");
    fits.Comment("of a master dark written with ROWORDER = 'TOP-DOWN'.");
  } else {
    fits.Comment("Pixel (X, Y) covers pixels 2X..2X+1, 2Y..2Y+1 of the full frame,");
    fits.Comment("whose row 0 is the sensor's top row.");
  }
  fits.Comment("FLAGS bits: 1 above (Y-1), 2 below (Y+1), 4 left (X-1), 8 right (X+1)");
  fits.Comment("may stand in for the pixel; 15 a single hot pixel, 0 none usable.");
  fits.Comment("Rows in the camera's order: by Y, brightest first within a row.");
  WriteOrigin(fits);
  WriteMapSource(fits, search.has_value());
  if (search) {
    fits.Integer("HOTPIXN", binning == 1 ? search->hotPixels1x1 : search->hotPixels2x2,
                 "brightest pixels the search takes");
    fits.Text("HOTMETH", "N brightest", "no threshold; ties in storage order");
    if (binning == 2) fits.Comment("Searched in the 2x2 sums of the master dark, capped at 255.");
    WriteDarkOrigin(fits, search->exposureSeconds, search->framesStacked, search->firstExposureUtc);
  } else {
    fits.Comment("The camera keeps only the table: how it was found is not known.");
  }
}

}  // namespace

std::string FitsDateTime(std::time_t time) {
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

int WriteMasterDarkFits(const std::string& path, const MasterDarkFacts& dark, std::string& text) {
  if (dark.pixels == nullptr || dark.width < 1 || dark.height < 1 || dark.framesStacked < 1) {
    text = "There is no master dark to save.";
    return kFitsBadData;
  }
  MemoryFits fits;
  long axes[2] = {dark.width, dark.height};
  fits_create_img(fits.file(), BYTE_IMG, 2, axes, &fits.status());
  fits_write_img(fits.file(), TBYTE, 1, static_cast<LONGLONG>(dark.width) * dark.height,
                 const_cast<std::uint8_t*>(dark.pixels), &fits.status());

  fits.Text("IMAGETYP", "Dark Frame", "type of image");
  fits.Text("BUNIT", "ADU", "camera units, less the pedestal");
  fits.Text("ROWORDER", "TOP-DOWN", "first row is the sensor's top row");
  fits.Integer("XBINNING", 1, "binning of the frame");
  fits.Integer("YBINNING", 1, "binning of the frame");
  WriteDarkOrigin(fits, dark.exposureSeconds, dark.framesStacked, dark.firstExposureUtc);
  WriteOrigin(fits);

  fits.Text("STACKMTH", "artificial skepticism", "per-pixel mean, outliers weighted down");
  fits.Integer("STACKITR", dark.iterations, "most reweighting passes per pixel");
  fits.Real("RDNOISE", dark.readNoise, "[e-] read noise the weights assume");
  fits.Real("EGAIN", dark.gain, "[e-/ADU] gain the weights assume");
  fits.Integer("PEDESTAL", dark.pedestal, "[ADU] taken off each frame before stacking");
  fits.Comment("Each pixel: the frames' mean weighted by 1 / ((r*r + 1) * s*s), where");
  fits.Comment("r = |value - estimate| / s, and s, the noise expected at the estimate,");
  fits.Comment("is sqrt(estimate * EGAIN + RDNOISE**2) / EGAIN. At most STACKITR");
  fits.Comment("passes; the result is rounded to whole ADU.");
  return Finish(fits, path, text);
}

int WriteHotPixelMapFits(const std::string& path, const HotPixelMapRecord& map,
                         const std::optional<HotPixelSearchFacts>& search, std::string& text) {
  if (map.count1x1 > kMaxHotPixels || map.count2x2 > kMaxHotPixels) {
    text = "The hot-pixel map is damaged: a table is longer than its 50 places.";
    return kFitsBadData;
  }
  MemoryFits fits;
  fits_create_img(fits.file(), BYTE_IMG, 0, nullptr, &fits.status());
  fits.Comment("Hot-pixel maps of the guiding camera: the 1x1 table in HDU HOTPIX1X1,");
  fits.Comment("the 2x2 table in HDU HOTPIX2X2.");
  WriteOrigin(fits);
  WriteMapSource(fits, search.has_value());
  WriteHotPixelTable(fits, "HOTPIX1X1", map.entries1x1, map.count1x1, 1, search);
  WriteHotPixelTable(fits, "HOTPIX2X2", map.entries2x2, map.count2x2, 2, search);
  return Finish(fits, path, text);
}

}  // namespace ktal
