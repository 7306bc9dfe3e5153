#include "logtool.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "guidelog/guide_log.h"
#include "guidelog/raw_copy.h"
#include "guidelog/report_settings.h"
#include "guidelog/stdio_file.h"

namespace ktal {
namespace {

namespace fs = std::filesystem;

constexpr char kFocalLengthError[] = "Wrong focal length entered, value must be positive!";
constexpr char kWormPeriodError[] = "Wrong gear period entered, value must be positive!";
constexpr char kDecError[] = "Wrong DEC coordinate entered, value must be between -90 and 90 degrees!";

std::string_view SkipBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    return text;
}

// A decimal integer at the start of the text, after blanks; what follows
// the number is ignored, so "7x" reads as 7. Nothing when there is no
// number or it does not fit.
std::optional<int> LeadingInteger(std::string_view text)
{
    text = SkipBlanks(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

// A real number at the start of the text, after blanks, always with a
// decimal point.
std::optional<double> LeadingReal(std::string_view text)
{
    text = SkipBlanks(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end == text.data())
        return std::nullopt;
    if (error == std::errc::result_out_of_range)
        return HUGE_VAL; // caught by the range check
    return value;
}

struct ToolOptions {
    std::string csv = "excel";
    bool html = false;
    std::string pe;
    std::string out;
    std::vector<std::string> files;
};

// Processes one file into `folder`; prints its line, naming the file as the
// user gave it, and returns true when everything asked for was written.
bool ProcessOne(const std::string& name, const fs::path& file, const fs::path& folder, bool html, bool pe)
{
    StdioFile raw = OpenStdioFile(file.string().c_str(), "rb");
    if (!raw) {
        std::printf("%s: failed, the file cannot be opened for reading\n", name.c_str());
        return false;
    }
    std::error_code error;
    fs::create_directories(folder, error);
    const fs::path previous = fs::current_path(error);
    fs::current_path(folder, error);
    if (error) {
        std::printf("%s: failed, the output folder %s cannot be used (%s)\n", name.c_str(),
                    folder.string().c_str(), error.message().c_str());
        return false;
    }
    // One log of up to 4096 pages at a time: the model is made per file.
    auto log = std::make_unique<GuideLog>();
    DirectoryEntry entry;
    std::fflush(stdout);
    const int code = ProcessRawFile(*log, raw.get(), entry, true, html, pe);
    std::fflush(stdout);
    fs::current_path(previous, error);
    if (code != 0) {
        std::printf("%s: failed, code %d: %s\n", name.c_str(), code, ProcessCodeMeaning(code));
        return false;
    }
    std::printf("%s: done, QD%06x processed into %s\n", name.c_str(), FileIdOf(entry.file_id),
                folder.string().c_str());
    return true;
}

} // namespace

std::optional<PeSettings> ParsePeSettings(const std::string& text, std::string& error)
{
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    for (std::size_t comma; (comma = rest.find(',')) != std::string_view::npos;) {
        fields.push_back(rest.substr(0, comma));
        rest.remove_prefix(comma + 1);
    }
    fields.push_back(rest);
    if (fields.size() != 3) {
        error = "--pe takes three numbers: FOCAL_MM,WORM_S,DEC_DEG";
        return std::nullopt;
    }
    PeSettings settings;
    const std::optional<int> focal = LeadingInteger(fields[0]);
    if (!focal || *focal < 1) {
        error = kFocalLengthError;
        return std::nullopt;
    }
    settings.focal_length_mm = *focal;
    const std::optional<int> worm = LeadingInteger(fields[1]);
    if (!worm || *worm < 1) {
        error = kWormPeriodError;
        return std::nullopt;
    }
    settings.worm_period_s = *worm;
    // An empty or unreadable declination counts as 0, as in the window; one
    // that is not a finite number is refused with the range message.
    const double dec = LeadingReal(fields[2]).value_or(0.0);
    if (!std::isfinite(dec) || std::fabs(dec) > 90.0) {
        error = kDecError;
        return std::nullopt;
    }
    settings.star_dec_deg = static_cast<float>(dec);
    return settings;
}

const char* ProcessCodeMeaning(int code)
{
    switch (code) {
    case 0: return "all asked-for outputs written";
    case 1: return "raw file shorter than its header, or a page cut off";
    case 2: return "header text is not \"ORVELIA K-Tal raw file\"";
    case 3: return "invalid created or modified stamp";
    case 101: return "stream error in the log";
    case 298: return "\"events.csv\" cannot be created";
    case 297: return "a write of \"events.csv\" fell short";
    case 301: return "an entity of a type without a table row was met";
    case 399: return "a periodic-error table cannot be created";
    case 398: return "a write of a periodic-error table fell short";
    case 199: return "\"index.html\" cannot be created";
    case 198: return "a write of \"index.html\" fell short";
    case 197: return "an image file of the report cannot be created";
    case 196: return "a write of an image file of the report fell short";
    default: return "unknown failure";
    }
}

int RunLogTool(int argc, char** argv)
{
    CLI::App app("Processes raw guiding logs (QD*.dat) of the K-Tal guider into the events table\n"
                 "events.csv and, on request, the HTML report index.html with its BMP plots and the\n"
                 "periodic-error tables pe1.csv, pe2.csv, ...",
                 "ktal-logtool");
    app.require_subcommand(1);
    ToolOptions options;
    CLI::App* process = app.add_subcommand(
        "process", "Process each raw log FILE into DIR, or into the folder that holds the file.");
    process->add_option("--csv", options.csv, "CSV format: excel (';' and a decimal comma) or point (',' and a decimal point)")
        ->check(CLI::IsMember({"excel", "point"}))
        ->default_str("excel");
    process->add_flag("--html", options.html, "Also write the HTML report index.html and its plot images");
    process->add_option("--pe", options.pe,
                        "Also write the periodic-error tables, for this focal length (mm, at least 1),\n"
                        "worm gear period (s, at least 1) and guide star declination (degrees, -90 to 90)")
        ->type_name("FOCAL_MM,WORM_S,DEC_DEG");
    process->add_option("--out", options.out, "Folder for the outputs (created when missing)")->type_name("DIR");
    process->add_option("FILE", options.files, "Raw guiding log files")->required();
    app.footer("Exit status: 0 all files processed, 1 a file failed, 2 bad options.\n"
               "Example: ktal-logtool process --html --pe 1000,480,12.5 QD00002a.dat");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& failure) {
        std::fprintf(stderr, "ktal-logtool: %s\n\n%s", failure.what(),
                     (process->parsed() ? process->help("ktal-logtool") : app.help()).c_str());
        return kToolUsage;
    }

    bool pe = false;
    if (!options.pe.empty()) {
        std::string error;
        const std::optional<PeSettings> settings = ParsePeSettings(options.pe, error);
        if (!settings) {
            std::fprintf(stderr, "ktal-logtool: %s\n\n%s", error.c_str(), process->help("ktal-logtool").c_str());
            return kToolUsage;
        }
        g_focalLength = settings->focal_length_mm;
        g_wormPeriod = settings->worm_period_s;
        g_starDec = settings->star_dec_deg;
        pe = true;
    }
    g_csvFormat = options.csv == "point" ? 1 : 0;

    // Paths are taken before any change of folder, relative to where the
    // tool was started.
    std::error_code error;
    const fs::path out = options.out.empty() ? fs::path() : fs::absolute(options.out, error);
    bool all_ok = true;
    for (const std::string& name : options.files) {
        const fs::path file = fs::absolute(name, error);
        const fs::path folder = out.empty() ? file.parent_path() : out;
        all_ok = ProcessOne(name, file, folder, options.html, pe) && all_ok;
    }
    std::fflush(stdout);
    return all_ok ? kToolOk : kToolFileFailed;
}

} // namespace ktal
