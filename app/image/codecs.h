// Field codecs shared by every editor: packed BCD numbers, tones and codes, digit codecs,
// exact-decimal text conversion, display formats, input filters and the option lists.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vm {

// ---------------------------------------------------------------------------------------------
// Number encodings

constexpr std::uint8_t ToBcd(int v) {
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}
constexpr int FromBcd(std::uint8_t b) {
    return (b >> 4) * 10 + (b & 0x0F);
}

// Frequency: four packed BCD bytes in units of 10 Hz, lowest digit pair first.
void PutFrequency(std::uint8_t* addr, std::uint32_t f);
std::uint32_t GetFrequency(const std::uint8_t* addr);

// Two packed BCD bytes, lowest digit pair first (CTCSS tone in tenths, DCS code digits).
void PutBcd16(std::uint8_t* addr, int v);
int GetBcd16(const std::uint8_t* addr);
// Whether both bytes are packed BCD (every nibble 0-9). Erased memory (FF FF) is not.
bool IsBcd16(const std::uint8_t* addr);

// Unsigned 16-bit little-endian binary (signalling tones in tenths of Hz).
void PutLe16(std::uint8_t* addr, std::uint16_t v);
std::uint16_t GetLe16(const std::uint8_t* addr);

// True when all n bytes at addr are 0xFF (an unprogrammed field).
bool IsErased(const std::uint8_t* addr, std::size_t n);

// Bit field [lo, hi] of a byte.
constexpr int GetBits(std::uint8_t b, int hi, int lo) {
    return (b >> lo) & ((1 << (hi - lo + 1)) - 1);
}
constexpr void SetBits(std::uint8_t& b, int hi, int lo, int v) {
    const int mask = ((1 << (hi - lo + 1)) - 1) << lo;
    b = static_cast<std::uint8_t>((b & ~mask) | ((v << lo) & mask));
}

// Character field: ASCII padded with 0xFF, ending at the first 0x00 or 0xFF.
std::string GetCharField(const std::uint8_t* addr, std::size_t n);
void PutCharField(std::uint8_t* addr, std::size_t n, std::string_view text);

// ---------------------------------------------------------------------------------------------
// Exact decimal text <-> integer units

// Parses a decimal number ("145.0125", "88.5", "-3") scaled by 10^fraction_digits, exactly:
// digits beyond the unit are truncated. Leading blanks are skipped and parsing stops at the
// first character that does not belong to the number. Returns nullopt when no digit is read.
std::optional<std::int64_t> ParseScaled(std::string_view text, int fraction_digits);

// Prints value / 10^fraction_digits with exactly fraction_digits decimals ("%.Nf").
std::string FormatScaled(std::int64_t value, int fraction_digits);

// Keeps f (10 Hz units) when it lies on the 2.5 kHz or the 6.25 kHz raster; otherwise lowers it
// to a multiple of 6.25 kHz or of 5 kHz, whichever removes the smaller remainder (5 kHz on a
// tie).
void SnapFrequency(std::uint32_t& f);

// A typed frequency in MHz to 10 Hz units (0 when nothing can be read).
std::uint32_t ParseMHz(std::string_view text);
// "%3.5f" of a frequency in 10 Hz units shown in MHz: 14550000 -> "145.50000".
std::string FormatMHz(std::uint32_t f);
// Tenths conversion: "88.5" -> 885 (0 when nothing can be read); 885 -> "88.5".
int TextToTenths(std::string_view text);
std::string TenthsToText(int tenths);

std::string FormatInt(long long v);  // "%d"
std::string FormatDcs(int code);     // "%03d"
std::string FormatHex(int v);        // "%X"
std::string FormatPercent(int p);    // "%d%%"

// ---------------------------------------------------------------------------------------------
// Normalisers and signalling helpers

std::string NormaliseCtcssText(std::string_view text);
std::string NormaliseDcsText(std::string_view text);
int ClampToneFrequency(int tenths);

std::uint8_t HexDigitValue(char c);   // 0..15, 255 when not a hex digit
char HexDigitChar(int v);             // '0'..'F', 0 for 16 or more
std::uint8_t DtmfDigitValue(char c);  // '*' 14, '#' 15, hex digits, else 255
char DtmfDigitChar(int v);            // 14 '*', 15 '#', 0 for 16 or more

std::int32_t DecoderCoefficient(int tenths);
// The coefficient as the radio stores it: a 16-bit two's-complement word, held within that
// range (a tone of 0, an unused digit, gives 32767 rather than wrapping to -32768).
std::uint16_t DecoderCoefficientWord(int tenths);

// ---------------------------------------------------------------------------------------------
// Display formats and input filters

inline constexpr const char* g_fmtFreqMHz = "%3.5f";
inline constexpr const char* g_fmtTenths = "%.1f";
inline constexpr const char* g_fmtInt = "%d";
inline constexpr const char* g_fmtHex = "%X";

inline constexpr std::string_view g_FreqInputFilter = "0123456789.\b";
inline constexpr std::string_view g_DecimalInputFilter = "0123456789.\b";
inline constexpr std::string_view g_DigitInputFilter = "0123456789\b";
inline constexpr std::string_view g_DtmfInputFilter = "0123456789ABCD*#\b";
inline constexpr std::string_view g_HexInputFilter = "0123456789ABCDEF\b";
inline constexpr std::string_view g_ToneInputFilter = "dniDNI0123456789.\b";
inline constexpr std::string_view g_SymbolInputFilter = " +-*/#\b";

inline constexpr std::string_view g_NameCharset = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
inline constexpr std::string_view g_HexCharset = "0123456789ABCDEF";

// True when a typed character passes a filter (backspace is in every filter).
bool FilterAccepts(std::string_view filter, char c);

// ---------------------------------------------------------------------------------------------
// Option lists: the stored value of a field is the entry's position unless an editor says
// otherwise.

template <std::size_t N>
using OptionList = std::array<std::string_view, N>;

inline constexpr OptionList<2> g_OffOnList = {"Off", "On"};
inline constexpr OptionList<2> g_OffOnList2 = {"Off", "On"};
inline constexpr OptionList<2> g_TwoSingleList = {"Two", "Single"};
inline constexpr OptionList<4> g_DcsPolarityList = {"Positive", "Decode Invert", "Encode Invert",
                                                    "Invert"};
inline constexpr OptionList<4> g_ToneModeList = {"Off", "Ctcss Encode", "Ctcss Codec", "Dcs Codec"};
inline constexpr OptionList<4> g_TxPowerList = {"Low", "Middle 2", "Middle 1", "High"};
inline constexpr OptionList<3> g_ScanAddList = {"Allow", "Skip", "Priority"};
inline constexpr OptionList<2> g_DisplayTypeList = {"Frequency", "Name"};
inline constexpr OptionList<3> g_BandwidthList = {"Wide", "Middle", "Narrow"};
inline constexpr OptionList<3> g_BusyLockList = {"Off", "Carrier", "2 Tone"};
inline constexpr OptionList<4> g_OptSignalList = {"Off", "2 Tone", "5 Tone", "DTMF"};
inline constexpr OptionList<6> g_PttIdList = {"Off",     "PTTID 1", "PTTID 2",
                                              "PTTID 3", "PTTID 4", "5 Tone"};
inline constexpr OptionList<13> g_StepList = {"2.5", "5.0", "6.25", "7.5", "8.33", "10", "12.5",
                                              "15",  "20",  "25",   "30",  "50",   "100"};
inline constexpr OptionList<3> g_OffsetDirList = {"Off", "-", "+"};
inline constexpr OptionList<3> g_AniList = {"", "None", "ANI"};
inline constexpr OptionList<16> g_TwoToneDecodeList = {
    "Off", "A-B", "A-C", "A-D", "B-A", "B-C",    "B-D",    "C-A",
    "C-B", "C-D", "D-A", "D-B", "D-C", "Long A", "Long B", "Long C"};
inline constexpr OptionList<16> g_FiveToneStdList = {
    "ZVEI1", "ZVEI2", "ZVEI3",       "PZVEI", "DZVEI", "PDZVEI", "CCIR1", "CCIR2",
    "PCCIR", "EEA",   "Euro SIGNAL", "NATEL", "CCITT", "EIA",    "MODAT", "USER DEFINDE"};
inline constexpr OptionList<16> g_HexDigitList = {"0", "1", "2", "3", "4", "5", "6", "7",
                                                  "8", "9", "A", "B", "C", "D", "E", "F"};
inline constexpr OptionList<9> g_BandNameList = {"30M",  "50M",  "60M",  "108M", "150M",
                                                 "250M", "350M", "450M", "850M"};
inline constexpr OptionList<2> g_Band150450List = {"150", "450"};
inline constexpr OptionList<3> g_WorkModeList = {"VFO", "MR", "HYPER"};
inline constexpr OptionList<2> g_MinorMainList = {"Minor", "Main"};
inline constexpr OptionList<13> g_KeyFunctionList = {"Off",  "SCAN", "SQL.OFF", "TCALL", "PPTR",
                                                     "PRI",  "LOW",  "TONE",    "MHz",   "REV",
                                                     "HOME", "BAND", "VFO/MR"};
inline constexpr OptionList<5> g_SqlModeList = {"Carrier", "Tone", "Signaling", "Signaling & Tone",
                                                "Signalling | Tone"};

inline constexpr OptionList<51> g_CtcssToneTable = {
    "63.0",  "67.0",  "69.3",  "71.9",  "74.4",  "77.0",  "79.7",  "82.5",  "85.4",
    "88.5",  "91.5",  "94.8",  "97.4",  "100.0", "103.5", "107.2", "110.9", "114.8",
    "118.8", "123.0", "127.3", "131.8", "136.5", "141.3", "146.2", "151.4", "156.7",
    "159.8", "162.2", "165.5", "167.9", "171.3", "173.8", "177.3", "179.9", "183.5",
    "186.2", "189.9", "192.8", "196.6", "199.5", "203.5", "206.5", "210.7", "218.1",
    "225.7", "229.1", "233.6", "241.8", "250.3", "254.1"};

inline constexpr OptionList<106> g_DcsCodeTable = {
    "017", "023", "025", "026", "031", "032", "036", "043", "047", "051", "053", "054",
    "065", "071", "072", "073", "074", "114", "115", "116", "122", "125", "131", "132",
    "134", "143", "145", "152", "155", "156", "162", "165", "172", "174", "205", "212",
    "223", "225", "226", "243", "244", "245", "246", "251", "252", "255", "261", "263",
    "265", "266", "271", "274", "306", "311", "315", "325", "331", "332", "343", "346",
    "351", "356", "364", "365", "371", "411", "412", "413", "423", "431", "432", "445",
    "446", "452", "454", "455", "462", "464", "465", "466", "503", "506", "516", "523",
    "526", "532", "546", "565", "606", "612", "624", "627", "631", "632", "645", "654",
    "662", "664", "703", "712", "723", "731", "732", "734", "743", "754"};

// Case-sensitive and case-insensitive position of a text in a list; -1 when absent.
int IndexOf(const std::string_view* list, std::size_t n, std::string_view text, bool ignore_case);
template <std::size_t N>
int IndexOf(const OptionList<N>& list, std::string_view text, bool ignore_case = false) {
    return IndexOf(list.data(), N, text, ignore_case);
}
// The entry at a position, or an empty text outside the list.
template <std::size_t N>
std::string_view EntryOf(const OptionList<N>& list, int pos) {
    return pos >= 0 && static_cast<std::size_t>(pos) < N ? list[static_cast<std::size_t>(pos)]
                                                         : std::string_view{};
}

int StepFromText(std::string_view text);      // 0 if absent
std::string_view StepText(int pos);           // "12.5" outside the list
int SqlModeFromText(std::string_view text);   // 0 if absent
std::string_view SqlModeText(int pos);        // "Carrier" outside the list
int BandNameFromText(std::string_view text);  // -1 if absent
std::string_view BandNameText(int pos);       // only "150M" (4) and "450M" (7)

// ---------------------------------------------------------------------------------------------
// Bounded edits and spin steps: the value a control settles on and the text it shows.

struct EditResult {
    int value;
    std::string text;
};

// Leaving an integer edit: empty -> default; rounded down to a multiple of step; outside
// [min, max] -> default; shown "%d", or off_text for 0 when one is given.
EditResult BoundedIntEdit(std::string_view text, int min, int max, int step, int def,
                          std::string_view off_text = {});
// Leaving a tenths edit: read as tenths, [min, max] else default, shown "%.1f".
EditResult BoundedTenthsEdit(std::string_view text, int min, int max, int def);

// An up/down button beside such an edit. step is signed (positive counts up).
EditResult SpinStep(int current, int step, int min, int max, std::string_view off_text = {});
EditResult SpinStepTenths(int current, int step, int min, int max);

// ---------------------------------------------------------------------------------------------
// Fixed defaults

inline constexpr int kDefaultCtcssTenths = 1000;            // 100.0 Hz
inline constexpr int kDefaultDcsCode = 23;                  // 023
inline constexpr std::uint32_t kDefaultOffset = 60000;      // 600 kHz
inline constexpr std::uint32_t kDefaultOffsetUhf = 760000;  // 7.6 MHz ("450M", "850M")

}  // namespace vm
