#include "app/shell/file_summary.h"

#include <cctype>
#include <cstdio>

#include "app/image/channel_record.h"
#include "app/image/codecs.h"
#include "app/image/model_regions.h"

namespace vm::shell {

namespace {

std::string TextField(const RadioImage& image, const SettingField& field, bool alnum_only) {
    const std::uint8_t* rec = ModelInfoMap::Record(image);
    std::string s;
    for (std::uint32_t i = 0; i < field.width; ++i) {
        const unsigned char c = rec[field.at + i];
        const bool ok = alnum_only ? (c < 0x80 && std::isalnum(c) != 0) : (c >= 0x20 && c < 0x7F);
        if (!ok) break;
        s.push_back(static_cast<char>(c));
    }
    return s;
}

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool ValidDate(int y, int m, int d) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return false;
    const int days = kDays[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0);
    return d <= days;
}

}  // namespace

ModelInfo ReadModelInfo(const RadioImage& image) {
    ModelInfo m;
    using M = ModelInfoMap;
    m.serial_number = TextField(image, M::kSerialNumber, true);
    m.model_name = TextField(image, M::kModelName, true);
    m.model_code = TextField(image, M::kModelCode, false);
    m.firmware_version = TextField(image, M::kFirmwareVersion, false);

    // "%4X-%02X-%02X" of the year word and the month and day bytes, read back as three decimal
    // numbers ("%d-%d-%d") and shown only when that is a calendar date.
    const auto year = static_cast<unsigned>(M::kYear.Get(M::Record(image)));
    const auto month = static_cast<unsigned>(M::kMonth.Get(M::Record(image)));
    const auto day = static_cast<unsigned>(M::kDay.Get(M::Record(image)));
    char text[32];
    std::snprintf(text, sizeof text, "%4X-%02X-%02X", year, month, day);
    int y = 0, mo = 0, d = 0;
    if (std::sscanf(text, "%d-%d-%d", &y, &mo, &d) == 3 && ValidDate(y, mo, d))
        m.last_program_date = text;
    return m;
}

FileSummary Summarise(const RadioImage& image, const BandTables& bands) {
    FileSummary s;
    s.model = ReadModelInfo(image);
    s.custom_data = GetCharField(image.data() + kCustomData, kCustomDataSize);

    BandTables t = bands;
    RecomputeBandEnabled(t);
    for (int n = 1; n <= kBandCount; ++n) {
        BandSummary& b = s.bands[static_cast<std::size_t>(n - 1)];
        const FrequencyRange range(image, n);
        b.band = n;
        b.label = std::string(g_BandNameList[static_cast<std::size_t>(n - 1)]);
        b.rx_lower = range.Stored(FrequencyRange::kRxLower);
        b.rx_upper = range.Stored(FrequencyRange::kRxUpper);
        if (!IsReceiveOnlyBand(n)) {
            b.tx_lower = range.Stored(FrequencyRange::kTxLower);
            b.tx_upper = range.Stored(FrequencyRange::kTxUpper);
        }
        b.enabled = t.BandEnabled[static_cast<std::size_t>(n)] != 0;
    }
    s.bank_b_low = {t.LowRangeLower, t.LowRangeUpper, t.BandEnabled[10] != 0};
    s.bank_b_high = {t.HighRangeLower, t.HighRangeUpper, t.BandEnabled[11] != 0};

    for (int n = 1; n <= 2 * kChannelsPerBank; ++n)
        if (!ChannelAt(image, n).IsEmpty())
            ++(n <= kChannelsPerBank ? s.channels_in_use_a : s.channels_in_use_b);
    return s;
}

}  // namespace vm::shell
