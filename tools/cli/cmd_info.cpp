// vm6142 info FILE [--json]: what a data file holds, in brief.
#include <cstdio>
#include <optional>
#include <sstream>

#include "app/image/codecs.h"
#include "app/shell/file_summary.h"
#include "tools/cli/cli.h"
#include "tools/cli/file_io.h"
#include "tools/cli/json.h"

namespace vm::cli {

namespace {

constexpr Option kOptions[] = {
    {"json", 'j', "", "print the same as JSON"},
};

std::string Mhz(const std::optional<std::uint32_t>& f) {
    return f ? FormatMHz(*f) : std::string();
}

// Text for the terminal: printable ASCII as it is, other bytes as \xNN.
std::string Printable(std::string_view s) {
    std::string r;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            r += ch;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            r += buf;
        }
    }
    return r;
}

std::string Pad(std::string s, std::size_t width) {
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

void PrintText(std::ostream& out, const std::filesystem::path& file, const shell::FileSummary& s) {
    out << "File: " << file.string() << "\n\n";
    out << "Model information\n"
        << "  Serial number:     " << Printable(s.model.serial_number) << '\n'
        << "  Model name:        " << Printable(s.model.model_name) << '\n'
        << "  Model code:        " << Printable(s.model.model_code) << '\n'
        << "  Firmware version:  " << Printable(s.model.firmware_version) << '\n'
        << "  Last program date: " << s.model.last_program_date << "\n\n";
    out << "Custom data: " << Printable(s.custom_data) << "\n\n";
    out << "Frequency ranges (MHz)\n"
        << "  Band   Rx lower   Rx upper   Tx lower   Tx upper  Enabled\n";
    for (const auto& b : s.bands)
        out << "  " << b.label << std::string(5 - b.label.size(), ' ') << Pad(Mhz(b.rx_lower), 10)
            << ' ' << Pad(Mhz(b.rx_upper), 10) << ' ' << Pad(Mhz(b.tx_lower), 10) << ' '
            << Pad(Mhz(b.tx_upper), 10) << "  " << (b.enabled ? "yes" : "no") << '\n';
    out << "\nBank B ranges (MHz)\n"
        << "  Low:  " << Pad(FormatMHz(static_cast<std::uint32_t>(s.bank_b_low.lower)), 10) << ' '
        << Pad(FormatMHz(static_cast<std::uint32_t>(s.bank_b_low.upper)), 10) << "  "
        << (s.bank_b_low.enabled ? "enabled" : "disabled") << '\n'
        << "  High: " << Pad(FormatMHz(static_cast<std::uint32_t>(s.bank_b_high.lower)), 10) << ' '
        << Pad(FormatMHz(static_cast<std::uint32_t>(s.bank_b_high.upper)), 10) << "  "
        << (s.bank_b_high.enabled ? "enabled" : "disabled") << "\n\n";
    out << "Channels in use\n"
        << "  Bank A: " << s.channels_in_use_a << " of 800\n"
        << "  Bank B: " << s.channels_in_use_b << " of 800\n";
}

void PrintJson(std::ostream& out, const std::filesystem::path& file, const shell::FileSummary& s) {
    JsonWriter j(out);
    auto freq = [&](std::string_view key, const std::optional<std::uint32_t>& f) {
        if (f)
            j.Number(key, FormatMHz(*f));
        else
            j.Null(key);
    };
    j.BeginObject();
    j.String("file", file.string());
    j.BeginObject("model")
        .String("serial_number", s.model.serial_number)
        .String("model_name", s.model.model_name)
        .String("model_code", s.model.model_code)
        .String("firmware_version", s.model.firmware_version)
        .String("last_program_date", s.model.last_program_date)
        .EndObject();
    j.String("custom_data", s.custom_data);
    j.BeginArray("bands");
    for (const auto& b : s.bands) {
        j.BeginObject().Number("band", b.band).String("label", b.label);
        freq("rx_lower_mhz", b.rx_lower);
        freq("rx_upper_mhz", b.rx_upper);
        freq("tx_lower_mhz", b.tx_lower);
        freq("tx_upper_mhz", b.tx_upper);
        j.Bool("enabled", b.enabled).EndObject();
    }
    j.EndArray();
    j.BeginObject("bank_b_ranges");
    for (const auto& [key, r] : {std::pair{"low", s.bank_b_low}, std::pair{"high", s.bank_b_high}})
        j.BeginObject(key)
            .Number("lower_mhz", FormatMHz(static_cast<std::uint32_t>(r.lower)))
            .Number("upper_mhz", FormatMHz(static_cast<std::uint32_t>(r.upper)))
            .Bool("enabled", r.enabled)
            .EndObject();
    j.EndObject();
    j.BeginObject("channels_in_use")
        .Number("bank_a", s.channels_in_use_a)
        .Number("bank_b", s.channels_in_use_b)
        .EndObject();
    j.EndObject();
}

int RunInfo(Context& ctx, const Args& args) {
    const std::filesystem::path file = args[0];
    if (!OpenDataFile(ctx, file)) return kExitFailure;
    const shell::FileSummary s = shell::Summarise(ctx.doc.Image(), ctx.doc.Bands());
    if (args.Flag("json"))
        PrintJson(ctx.out, ctx.doc.CurrentFile(), s);
    else
        PrintText(ctx.out, ctx.doc.CurrentFile(), s);
    return ctx.out ? kExitSuccess : ctx.Fail("cannot write the output");
}

}  // namespace

extern const Command kInfoCommand = {
    .name = "info",
    .arguments = "FILE",
    .summary = "Show the model block, custom data, band limits and channel use of a data file.",
    .description =
        "Opens FILE as the editor's File > Open does and prints: the model information block\n"
        "(serial number, model name, model code, firmware version, last program date), the\n"
        "custom data text, the nine bands with their Rx and Tx limits in MHz and whether each\n"
        "is enabled, the two bank-B ranges, and how many channels of bank A and bank B are in\n"
        "use. Absent limits are left blank (null in JSON).",
    .options = kOptions,
    .min_args = 1,
    .max_args = 1,
    .run = RunInfo,
};

}  // namespace vm::cli
