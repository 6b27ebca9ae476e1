// Option lists: the entries of a drop-down list, in order. The stored value of a field is the
// entry's position unless an editor says otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vm {

template <std::size_t N>
using OptionList = std::array<std::string_view, N>;

inline constexpr OptionList<2> g_OffOnList = {"Off", "On"};
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
inline constexpr OptionList<9> g_BandNameList = {"30M",  "50M",  "60M",  "108M", "150M",
                                                 "250M", "350M", "450M", "850M"};
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

}  // namespace vm
