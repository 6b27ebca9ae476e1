#include "app/editors/channels/chirp_csv.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

#include "app/editors/channels/channel_memory.h"
#include "app/image/codecs.h"
#include "app/widgets/form.h"

namespace vm::chirp {

namespace {

using V = CProgramView;

enum Col {
    kLocation,
    kName,
    kFrequency,
    kDuplex,
    kOffset,
    kTone,
    kRTone,
    kCTone,
    kDtcsCode,
    kDtcsPolarity,
    kRxDtcsCode,
    kCrossMode,
    kMode,
    kTStep,
    kSkip,
    kPower,
};

constexpr std::array<std::string_view, 4> kPolarities = {"NN", "NR", "RN", "RR"};
constexpr std::uint32_t kMaxOffset = 5'000'000;  // 50 MHz, as the channel edit dialog holds

int ColumnOf(std::string_view header) {
    header = TrimBlanks(header);
    for (std::size_t i = 0; i < kColumns.size(); ++i)
        if (SameIgnoringCase(header, kColumns[i])) return static_cast<int>(i);
    return -1;
}

// A plain decimal number ("146.52", "0.600000", "88.5") scaled by 10^digits, exactly: digits
// beyond that must be zeros. nullopt for anything else.
std::optional<std::int64_t> Decimal(std::string_view text, int digits) {
    text = TrimBlanks(text);
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::int64_t v = 0;
    std::size_t i = 0;
    int whole = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++whole)
        v = v * 10 + (text[i] - '0');
    if (whole > 11) return std::nullopt;
    int fraction = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            if (fraction < digits) {
                v = v * 10 + (text[i] - '0');
                ++fraction;
            } else if (text[i] != '0') {
                return std::nullopt;
            }
        }
        if (whole == 0 && fraction == 0) return std::nullopt;
    } else if (whole == 0) {
        return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    for (; fraction < digits; ++fraction) v *= 10;
    return v;
}

// MHz with up to 6 decimals to 10 Hz units; nullopt when not such a number or finer than 10 Hz.
std::optional<std::uint32_t> Megahertz(std::string_view text) {
    const auto hz = Decimal(text, 6);
    if (!hz || *hz % 10 != 0 || *hz / 10 > 0xFFFF'FFFFLL) return std::nullopt;
    return static_cast<std::uint32_t>(*hz / 10);
}

std::string Mhz6(std::uint32_t f) {
    return FormatScaled(static_cast<std::int64_t>(f) * 10, 6);
}

std::string Watts(int tenths) {
    return tenths >= 100 ? std::to_string(tenths / 10) + "W" : FormatScaled(tenths, 1) + "W";
}

// The name as the table's name edit takes it when typed: upper case, name characters only,
// at most six.
std::string FilteredName(std::string_view text) {
    std::string name;
    for (char c : text) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!IsNameChar(u)) continue;
        if (name.size() == kChannelNameLength) break;
        name.push_back(u);
    }
    return name;
}

std::string Quoted(std::string_view text) {
    std::string s = "'";
    for (char c : text) s += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    return s + "'";
}

std::string Mhz(std::uint32_t f) {
    return FormatMHz(f) + " MHz";
}

std::string_view BankName(Bank bank) {
    return bank == Bank::A ? "bank A" : "bank B";
}

// Why a frequency cannot be a channel's Rx or Tx, empty when it can. The table would move it
// (to a band or onto the raster), which is not the frequency the file holds.
std::string FrequencyProblem(const BandTables& bands, std::string_view what, std::uint32_t f,
                             int channel) {
    const Bank bank = BankOfChannel(channel);
    const int band = FindBand(bands, f, bank);
    if (band < 0)
        return std::string(what) + " " + Mhz(f) + " lies in no band of " +
               std::string(BankName(bank));
    const std::uint32_t on_raster =
        bank == Bank::A ? ApplyBandRaster(f, band) : ApplyBandRaster(f, band == 8 ? 0 : band);
    if (on_raster != f)
        return std::string(what) + " " + Mhz(f) + " is off the band's channel raster (the " +
               "table would store " + FormatMHz(on_raster) + ")";
    const bool first = channel == 1 || channel == kChannelsPerBank + 1;
    if (first && bank == Bank::A && HomeBandOf(bands, f) < 0)
        return std::string(what) + " " + Mhz(f) + ": channel 1 stays in the 150M or 450M band";
    return {};
}

struct RowReader {
    const std::vector<int>& field_of;  // CSV field index of each column, -1 when absent
    const std::vector<std::string>& fields;
    bool decimal_comma = false;  // a ';'-separated file from a comma-decimal locale

    // A number field, its decimal comma read as a point.
    std::string Num(Col c) const {
        std::string t(Get(c));
        if (decimal_comma) std::replace(t.begin(), t.end(), ',', '.');
        return t;
    }

    bool Has(Col c) const { return field_of[c] >= 0; }
    std::string_view Get(Col c) const {
        return Has(c) ? TrimBlanks(fields[static_cast<std::size_t>(field_of[c])])
                      : std::string_view();
    }
};

// Maps one row; problems are added to `why`.
RowPlan MapRow(const RowReader& in, int channel, const BandTables& bands,
               std::vector<std::string>& why, std::vector<std::string>& adjusted) {
    RowPlan p;
    p.channel = channel;
    auto problem = [&](std::string text) { why.push_back(std::move(text)); };

    // Frequencies and duplex.
    const auto rx = Megahertz(in.Num(kFrequency));
    if (!rx || *rx == 0) {
        problem("Frequency " + Quoted(in.Get(kFrequency)) + " is not a frequency in MHz");
        return p;
    }
    p.rx = *rx;
    if (auto w = FrequencyProblem(bands, "Frequency", p.rx, channel); !w.empty()) problem(w);

    const std::string_view duplex = in.Get(kDuplex);
    const std::string offset_text = in.Num(kOffset);
    std::optional<std::uint32_t> offset;
    if (!offset_text.empty()) {
        offset = Megahertz(offset_text);
        if (!offset) {
            problem("Offset " + Quoted(offset_text) + " is not a frequency in MHz");
            return p;
        }
    }
    auto storable_offset = [&](std::uint32_t o) {
        std::uint32_t snapped = o;
        SnapFrequency(snapped);
        return o <= kMaxOffset && snapped == o;
    };
    p.tx = p.rx;
    if (duplex.empty()) {
        p.direction = OffsetDirection::Simplex;
        if (offset && *offset != 0 && storable_offset(*offset)) p.offset = offset;
    } else if (duplex == "+" || duplex == "-") {
        const std::uint32_t o = offset.value_or(0);
        if (!storable_offset(o))
            problem("Offset " + Mhz(o) + ": the radio holds offsets up to 50 MHz on its raster");
        else if (duplex == "-" && o > p.rx)
            problem("Offset " + Mhz(o) + " is larger than the frequency");
        else {
            p.offset = o;
            p.direction = duplex == "+" ? OffsetDirection::Plus : OffsetDirection::Minus;
            p.tx = duplex == "+" ? p.rx + o : p.rx - o;
            if (auto w = FrequencyProblem(bands, "transmit frequency", p.tx, channel); !w.empty())
                problem(w);
        }
    } else if (SameIgnoringCase(duplex, "split")) {
        if (!offset || *offset == 0) {
            problem("Duplex split without a transmit frequency in Offset");
        } else {
            p.tx = *offset;
            p.direction = p.tx == p.rx ? OffsetDirection::Simplex : OffsetDirection::Split;
            if (auto w = FrequencyProblem(bands, "transmit frequency", p.tx, channel); !w.empty())
                problem(w);
        }
    } else if (SameIgnoringCase(duplex, "off")) {
        problem("Duplex off (transmit inhibited): the channel table keeps a transmit frequency");
    } else {
        problem("Duplex " + Quoted(duplex) + " is not one of '', +, -, split, off");
    }

    // Tones and codes: one CTCSS tone and one DCS code per channel.
    auto tone = [&](Col c) -> std::optional<int> {
        const std::string t = in.Num(c);
        if (t.empty()) return std::nullopt;
        const auto v = Decimal(t, 1);
        if (!v || *v > 100000) return -1;
        return static_cast<int>(*v);
    };
    auto r_tone = tone(kRTone);
    auto c_tone = tone(kCTone);
    if (!r_tone) r_tone = c_tone;  // a file with one of the two uses it for both
    if (!c_tone) c_tone = r_tone;
    auto code = [&](Col c) -> std::optional<int> {
        const std::string_view t = in.Get(c);
        if (t.empty()) return std::nullopt;
        const auto v = Decimal(t, 0);
        if (!v || *v > 777) return -1;
        return static_cast<int>(*v);
    };
    auto tx_code = code(kDtcsCode);
    auto rx_code = code(kRxDtcsCode);
    if (!rx_code) rx_code = tx_code;
    if (!tx_code) tx_code = rx_code;

    // A tone the table holds as it is: 60.0-260.0 Hz.
    auto valid_tone = [](int t) { return NormaliseCtcssText(TenthsToText(t)) == TenthsToText(t); };
    auto use_tone = [&](std::string_view column, std::optional<int> t) {
        if (!t || *t < 0 || !valid_tone(*t)) {
            problem(std::string(column) + " " + Quoted(t ? TenthsToText(std::max(*t, 0)) : "") +
                    ": the radio's tones are 60.0 to 260.0 Hz");
            return;
        }
        p.ctcss = *t;
    };
    auto use_code = [&](std::optional<int> tx, std::optional<int> rxc) {
        if (!tx || *tx < 0) {
            problem("DtcsCode " + Quoted(in.Get(kDtcsCode)) + " is not a DCS code");
            return;
        }
        if (rxc && *rxc != *tx) {
            problem("DCS codes " + FormatDcs(*tx) + " (transmit) and " + FormatDcs(*rxc) +
                    " (receive): the radio has one DCS code per channel");
            return;
        }
        p.dcs = *tx;
    };

    const std::string_view mode = in.Get(kTone);
    if (mode.empty()) {
        p.decode = 0;
    } else if (mode == "Tone") {
        p.decode = 1;
        use_tone("rToneFreq", r_tone);
    } else if (mode == "TSQL") {
        p.decode = 2;
        use_tone("cToneFreq", c_tone);
    } else if (mode == "DTCS") {
        p.decode = 3;
        use_code(tx_code, rx_code);
    } else if (mode == "Cross") {
        const std::string_view cross =
            in.Get(kCrossMode).empty() ? "Tone->Tone" : in.Get(kCrossMode);
        if (cross == "Tone->Tone") {
            if (r_tone && c_tone && *r_tone != *c_tone)
                problem("cross mode Tone->Tone with " + TenthsToText(*r_tone) + " and " +
                        TenthsToText(*c_tone) + " Hz: the radio has one tone per channel");
            else {
                p.decode = 2;
                use_tone("rToneFreq", r_tone);
            }
        } else if (cross == "Tone->") {
            p.decode = 1;
            use_tone("rToneFreq", r_tone);
        } else if (cross == "DTCS->DTCS") {
            p.decode = 3;
            use_code(tx_code, rx_code);
        } else {
            problem("cross mode " + Quoted(cross) +
                    ": the radio sends and decodes the same tone or code, or sends a tone only");
        }
    } else if (mode == "TSQL-R" || mode == "DTCS-R") {
        problem("tone mode " + std::string(mode) + " (reverse squelch): the radio has none");
    } else {
        problem("tone mode " + Quoted(mode) + " is unknown");
    }
    // The tone and code a mode does not use are kept as the file gives them, when the table
    // can hold them.
    if (p.decode != 1 && p.decode != 2 && r_tone && *r_tone >= 0 && valid_tone(*r_tone))
        p.ctcss = *r_tone;
    if (p.decode != 3 && tx_code && *tx_code >= 0) p.dcs = *tx_code;

    const std::string_view polarity = in.Get(kDtcsPolarity);
    if (!polarity.empty()) {
        const auto it = std::find(kPolarities.begin(), kPolarities.end(), polarity);
        if (it == kPolarities.end())
            problem("DtcsPolarity " + Quoted(polarity) + " is not NN, NR, RN or RR");
        else
            p.polarity = static_cast<int>(it - kPolarities.begin());
    }

    // Mode: bandwidth and AM.
    const std::string_view modulation = in.Get(kMode);
    if (modulation.empty() || SameIgnoringCase(modulation, "FM")) {
        p.bandwidth = 0;
    } else if (SameIgnoringCase(modulation, "NFM")) {
        p.bandwidth = 2;
    } else if (SameIgnoringCase(modulation, "AM")) {
        p.bandwidth = 0;
        p.am = true;
    } else if (SameIgnoringCase(modulation, "NAM")) {
        p.bandwidth = 2;
        p.am = true;
    } else {
        problem("Mode " + Quoted(modulation) + ": the radio has FM, NFM, AM and NAM");
    }

    const std::string step = in.Num(kTStep);
    if (!step.empty()) {
        const auto v = Decimal(step, 2);
        int found = -1;
        for (std::size_t i = 0; v && i < g_StepList.size(); ++i)
            if (Decimal(g_StepList[i], 2) == v) found = static_cast<int>(i);
        const bool band8 = BankOfChannel(channel) == Bank::A && FindBand(bands, p.rx) == 8;
        if (found < 0)
            problem("TStep " + Quoted(step) + " kHz is not one of the radio's steps");
        else if (band8 && (found == 0 || found == 2 || found == 3))
            problem("TStep " + std::string(step) + " kHz is not offered in the 850M band");
        else
            p.step = found;
    }

    const std::string_view skip = in.Get(kSkip);
    if (skip.empty())
        p.scan = 0;
    else if (skip == "S")
        p.scan = 1;
    else if (skip == "P")
        p.scan = 2;
    else
        problem("Skip " + Quoted(skip) + " is not '', S or P");

    const std::string power_text = in.Num(kPower);
    const std::string_view power = power_text;
    if (!power.empty()) {
        std::string_view number = power;
        if (!number.empty() && (number.back() == 'W' || number.back() == 'w'))
            number.remove_suffix(1);
        const auto tenths = Decimal(number, 1);
        if (!tenths) {
            problem("Power " + Quoted(power) + " is not a power in watts");
        } else {
            int best = 0;
            for (int i = 1; i < static_cast<int>(kPowerWatts.size()); ++i)
                if (std::llabs(*tenths - kPowerWatts[static_cast<std::size_t>(i)]) <
                    std::llabs(*tenths - kPowerWatts[static_cast<std::size_t>(best)]))
                    best = i;
            p.power = best;
            if (*tenths != kPowerWatts[static_cast<std::size_t>(best)])
                adjusted.push_back("Power " + std::string(power) + " is held as " +
                                   std::string(g_TxPowerList[static_cast<std::size_t>(best)]) +
                                   " (" + Watts(kPowerWatts[static_cast<std::size_t>(best)]) + ")");
        }
    }

    const std::string_view name = in.Get(kName);
    p.name = FilteredName(name);
    if (p.name != name)
        adjusted.push_back("Name " + Quoted(name) + " is held as " + Quoted(p.name));
    return p;
}

}  // namespace

bool IsChirpHeader(const std::vector<std::string>& header) {
    return std::any_of(header.begin(), header.end(),
                       [](const std::string& h) { return ColumnOf(h) == kLocation; });
}

std::vector<ExportNote> WriteCsv(const CProgramView& table, const RadioImage& image,
                                 std::ostream& out) {
    std::vector<ExportNote> notes;
    WriteCsvRow(out, std::vector<std::string>(kColumns.begin(), kColumns.end()));
    for (int row = 1; row <= kChannelsPerBank; ++row) {
        const int n = table.ChannelOfRow(row);
        const ConstChannelRecord rec = ChannelAt(image, n);
        if (rec.IsEmpty()) continue;
        // The table shows the stored record; its name, tone and code cells are read as shown.
        const Grid& g = table.grid();
        std::vector<std::string> f(kColumns.size());
        f[kLocation] = std::to_string(n);
        f[kName] = g.Text(row, V::kColName);
        const std::uint32_t rx = rec.Rx();
        f[kFrequency] = Mhz6(rx);
        const std::uint32_t o = rec.OffsetUnset() ? 0 : rec.Offset();
        f[kOffset] = Mhz6(o);
        if (rec.TxAbsent()) {
            f[kDuplex] = "off";
        } else {
            const std::uint32_t tx = rec.Tx();
            if (tx == rx) {
            } else if (rec.Direction() == OffsetDirection::Plus && tx == rx + o) {
                f[kDuplex] = "+";
            } else if (rec.Direction() == OffsetDirection::Minus && tx == rx - o) {
                f[kDuplex] = "-";
            } else {
                f[kDuplex] = "split";
                f[kOffset] = Mhz6(tx);
            }
        }
        constexpr std::array<std::string_view, 4> kTones = {"", "Tone", "TSQL", "DTCS"};
        f[kTone] = kTones[static_cast<std::size_t>(rec.TableDecodeType())];
        f[kRTone] = f[kCTone] = g.Text(row, V::kColCtcss);
        f[kDtcsCode] = f[kRxDtcsCode] = g.Text(row, V::kColDcs);
        f[kDtcsPolarity] = kPolarities[static_cast<std::size_t>(rec.DcsPolarity())];
        f[kCrossMode] = "Tone->Tone";
        const int bw = rec.Bandwidth();
        f[kMode] = std::string(bw == 2 ? "N" : "") + (rec.Am() ? "AM" : "FM");
        if (bw != 0 && bw != 2)
            notes.push_back({n, "Bandwidth " + std::string(EntryOf(g_BandwidthList, bw)) +
                                    " is written as " + f[kMode]});
        const int step = rec.Step();
        if (step < static_cast<int>(g_StepList.size())) {
            f[kTStep] = FormatScaled(*Decimal(g_StepList[static_cast<std::size_t>(step)], 2), 2);
        } else {
            f[kTStep] = "12.50";
            notes.push_back({n, "step " + std::to_string(step) + " is written as 12.50 kHz"});
        }
        constexpr std::array<std::string_view, 4> kSkips = {"", "S", "P", ""};
        f[kSkip] = kSkips[static_cast<std::size_t>(rec.Scan())];
        f[kPower] = Watts(kPowerWatts[static_cast<std::size_t>(rec.TxPower())]);
        if (rec.OptSignal() != 0)
            notes.push_back({n, "Signaling " +
                                    std::string(EntryOf(g_OptSignalList, rec.OptSignal())) +
                                    " has no column and is not written"});
        WriteCsvRow(out, f);
    }
    return notes;
}

ImportPlan PlanImport(const CsvDocument& doc, const BandTables& bands, bool bank_b) {
    ImportPlan plan;
    if (!doc.ok()) {
        plan.error = doc.error;
        return plan;
    }
    const std::string where = "line " + std::to_string(doc.header_line) + ": ";
    std::vector<int> field_of(kColumns.size(), -1);
    for (std::size_t i = 0; i < doc.header.size(); ++i) {
        const int c = ColumnOf(doc.header[i]);
        if (c < 0) continue;  // unknown columns are ignored
        if (field_of[static_cast<std::size_t>(c)] >= 0) {
            plan.error = where + "column '" + doc.header[i] + "' appears twice";
            return plan;
        }
        field_of[static_cast<std::size_t>(c)] = static_cast<int>(i);
    }
    for (Col required : {kLocation, kFrequency})
        if (field_of[required] < 0) {
            plan.error = where + "no '" + std::string(kColumns[required]) + "' column";
            return plan;
        }

    std::map<int, int> seen;  // location -> line
    for (const CsvRow& row : doc.rows) {
        RowProblem problem{row.line, 0, {}};
        if (row.fields.size() != doc.header.size()) {
            problem.text = std::to_string(row.fields.size()) + " fields where the header has " +
                           std::to_string(doc.header.size());
            plan.problems.push_back(problem);
            continue;
        }
        const RowReader in{field_of, row.fields, doc.separator == ';'};
        const auto location = Decimal(in.Get(kLocation), 0);
        if (!location || *location < 1 || *location > 2 * kChannelsPerBank) {
            problem.text = "Location " + Quoted(in.Get(kLocation)) + " is not a channel 1-1600";
            plan.problems.push_back(problem);
            continue;
        }
        const int n = static_cast<int>(*location);
        problem.location = n;
        if (const auto it = seen.find(n); it != seen.end()) {
            plan.error = "line " + std::to_string(row.line) + ": location " + std::to_string(n) +
                         " appears again (first on line " + std::to_string(it->second) + ")";
            plan.rows.clear();
            return plan;
        }
        seen[n] = row.line;
        if (n > kChannelsPerBank && !bank_b) {
            problem.text = "location " + std::to_string(n) + " is a bank B channel (801-1600)";
            plan.problems.push_back(problem);
            continue;
        }
        std::vector<std::string> why, adjusted;
        RowPlan p = MapRow(in, n, bands, why, adjusted);
        p.line = row.line;
        for (std::string& w : why) plan.problems.push_back({row.line, n, std::move(w)});
        if (why.empty()) {
            for (std::string& a : adjusted) plan.notes.push_back({row.line, n, std::move(a)});
            plan.rows.push_back(std::move(p));
        }
    }
    return plan;
}

std::vector<RowProblem> ApplyImport(const ImportPlan& plan, CProgramView& bank_a,
                                    CProgramView* bank_b) {
    std::vector<RowProblem> problems;
    for (const RowPlan& p : plan.rows) {
        const bool in_b = p.channel > kChannelsPerBank;
        if (in_b && !bank_b) {
            problems.push_back({p.line, p.channel, "bank B is not open"});
            continue;
        }
        CProgramView& table = in_b ? *bank_b : bank_a;
        const int row = in_b ? p.channel - kChannelsPerBank : p.channel;
        const Grid& g = table.grid();
        std::string failed;
        auto type = [&](int col, const std::string& text) {
            if (!failed.empty()) return;
            if (g.Text(row, col) != text) table.TypeIntoCell(row, col, text);
            if (g.Text(row, col) != text)
                failed = std::string(V::kHeaders[static_cast<std::size_t>(col)]) + " " +
                         Quoted(text) + " became " + Quoted(g.Text(row, col));
        };
        // The row replaces the channel: cleared, then created from its Rx.
        if (row != 1 && !g.Text(row, V::kColRx).empty()) table.TypeIntoCell(row, V::kColRx, "");
        type(V::kColRx, FormatMHz(p.rx));
        if (failed.empty()) {
            // What the table has no column for, on the record the Rx just created.
            ChannelRecord rec = ChannelAt(table.image(), p.channel);
            if (p.offset) rec.SetOffset(*p.offset);
            rec.SetDirection(p.direction);
            if (p.step) rec.SetStep(*p.step);
            rec.SetAm(p.am ? 1 : 0);
        }
        type(V::kColTx, FormatMHz(p.tx));
        type(V::kColDecode, std::string(g_ToneModeList[static_cast<std::size_t>(p.decode)]));
        type(V::kColCtcss, TenthsToText(p.ctcss));
        type(V::kColDcs, FormatDcs(p.dcs));
        type(V::kColPolarity, std::string(g_DcsPolarityList[static_cast<std::size_t>(p.polarity)]));
        type(V::kColPower, std::string(g_TxPowerList[static_cast<std::size_t>(p.power)]));
        type(V::kColScan, std::string(g_ScanAddList[static_cast<std::size_t>(p.scan)]));
        type(V::kColBandwidth, std::string(g_BandwidthList[static_cast<std::size_t>(p.bandwidth)]));
        type(V::kColName, p.name);
        if (!failed.empty()) problems.push_back({p.line, p.channel, failed});
    }
    return problems;
}

}  // namespace vm::chirp
