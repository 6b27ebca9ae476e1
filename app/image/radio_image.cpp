#include "app/image/radio_image.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/image/channel_regions.h"
#include "app/image/codecs.h"
#include "app/image/file_bytes.h"
#include "app/image/settings_regions.h"

namespace vm {

// clang-format off
const std::array<std::array<std::uint16_t, 16>, 15> kFiveToneTones = {{
    {24000, 10600, 11600, 12700, 14000, 15300, 16700, 18300, 20000, 22000, 28000, 8100, 9700, 8850, 26000, 6800},
    {24000, 10600, 11600, 12700, 14000, 15300, 16700, 18300, 20000, 22000, 8850, 8100, 7400, 6800, 9700, 26000},
    {22000, 9700, 10600, 11600, 12700, 14000, 15300, 16700, 18300, 20000, 8850, 0, 0, 0, 24000, 0},
    {24000, 10600, 11600, 12700, 14000, 15300, 16700, 18300, 20000, 22000, 9700, 8100, 28000, 8850, 26000, 6800},
    {22000, 9700, 10600, 11600, 12700, 14000, 15300, 16700, 18300, 20000, 8250, 7400, 26000, 8850, 24000, 6800},
    {22000, 9700, 10600, 11600, 12700, 14000, 15300, 16700, 18300, 20000, 8250, 8860, 26000, 8560, 24000, 0},
    {19810, 11240, 11970, 12750, 13580, 14460, 15400, 16400, 17470, 18600, 24000, 9300, 22470, 9910, 21100, 10550},
    {19810, 11240, 11970, 12750, 13580, 14460, 15400, 16400, 17470, 18600, 24000, 9300, 22470, 9910, 21100, 10550},
    {19810, 11240, 11970, 12750, 13580, 14460, 15400, 16400, 17470, 18600, 10500, 9300, 24000, 9910, 21100, 0},
    {19810, 11240, 11970, 12750, 13580, 14460, 15400, 16400, 17470, 18600, 10550, 9300, 24000, 9910, 21100, 22470},
    {9798, 9031, 8325, 7674, 7074, 6520, 6010, 5540, 5107, 4708, 0, 0, 0, 0, 10629, 0},
    {16330, 6310, 6970, 7700, 8520, 9410, 10400, 12090, 13360, 14770, 19950, 5710, 22050, 24370, 18050, 26940},
    {4000, 6970, 7700, 8520, 9410, 12090, 13350, 14470, 16330, 18000, 19000, 20000, 21000, 22000, 23000, 0},
    {6000, 7410, 8820, 10230, 11640, 13050, 14460, 15870, 17280, 18690, 21510, 24330, 20100, 22920, 4590, 10910},
    {6375, 7875, 9375, 10875, 12375, 13875, 15375, 16875, 18375, 19875, 0, 0, 0, 0, 0, 0},
}};
// clang-format on

const std::array<std::uint8_t, 16> kFiveToneMinWidth = {70,  70, 70,  70, 70, 70, 100, 70,
                                                        100, 40, 100, 70, 70, 33, 40,  70};

void ReloadFiveToneTables(FileHeader& header) {
    for (int i = 0; i < 15; ++i) {
        std::uint8_t* rec = header.data() + FiveToneStdRecord(i) + FiveToneStandardBlock::kTones;
        for (int d = 0; d < FiveToneStandardBlock::kToneCount; ++d)
            PutLe16(rec + 2 * d,
                    kFiveToneTones[static_cast<std::size_t>(i)][static_cast<std::size_t>(d)]);
    }
}

void StampHeader(FileHeader& header) {
    std::copy(kFileSignature.begin(), kFileSignature.end(), header.begin());
    std::copy(kFormatStamp.begin(), kFormatStamp.end(), header.begin() + 8);
}

bool HasSignature(const std::uint8_t* first8) {
    return std::equal(kFileSignature.begin(), kFileSignature.end(), first8);
}

void ClearCommitBits(RadioImage& image) {
    image[kCommitByte] &= 0xFC;
}

// ---------------------------------------------------------------------------------------------

void TransferRangeTable::Add(std::uint32_t from, std::uint32_t to) {
    if (count >= kMaxRanges) return;
    start[count] = from;
    end[count] = to;
    ++count;
}

static TransferRangeTable Table(
    TransferDirection direction, const char* caption,
    std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> ranges) {
    TransferRangeTable t;
    t.direction = direction;
    t.caption = caption;
    for (const auto& [from, to] : ranges) t.Add(from, to);
    return t;
}

constexpr auto kImageEnd = static_cast<std::uint32_t>(kImageSize);

TransferRangeTable ProgramReadRanges() {
    return Table(TransferDirection::Read, "Read", {{kBankA, kImageEnd}});
}

TransferRangeTable ProgramWriteRanges(bool extended) {
    return Table(TransferDirection::Write, "Write",
                 {{image_map::kFiveToneCoefficients.base, image_map::kWriteEnd},
                  {extended ? kCustomData : kModelInfo, kImageEnd}});
}

TransferRangeTable CustomDataReadRanges() {
    return Table(TransferDirection::Read, "读数据", {{kCustomData, image_map::kCustomData.End()}});
}

TransferRangeTable CustomDataWriteRanges() {
    return Table(TransferDirection::Write, "写数据", {{kCustomData, image_map::kCustomData.End()}});
}

std::uint32_t BlockLength(std::uint32_t a, std::uint32_t end) {
    const std::uint32_t len = 128 - (a % 128);
    return std::min(len, end - a);
}

int CountBlocks(const TransferRangeTable& t) {
    int blocks = 0;
    for (int r = 0; r < t.count; ++r)
        for (std::uint32_t a = t.start[static_cast<std::size_t>(r)];
             a < t.end[static_cast<std::size_t>(r)];
             a += BlockLength(a, t.end[static_cast<std::size_t>(r)]))
            ++blocks;
    return blocks;
}

// ---------------------------------------------------------------------------------------------

const std::array<std::uint32_t, 12> kResetEdgeFrequencies = {
    3'000'000,  45'000'000, 5'000'000,  45'000'000, 15'000'000, 45'000'000,
    35'000'000, 45'000'000, 45'000'000, 45'000'000, 85'000'000, 45'000'000};

void WriteResetRecords(RadioImage& image, const BandTables& bands) {
    static_assert(kResetEdgeFrequencies.size() == 2 * BandMemoryMap::kCount);
    static_assert(BandSideRecordMap::kCount == BandMemoryMap::kCount);
    static_assert(BandSideRecordMap::kSize == BasicSettingsMap::kSize);
    auto frequency = [](int k, int half) {
        return kResetEdgeFrequencies[static_cast<std::size_t>(2 * k + half)];
    };
    // Each band memory: its two channel records.
    for (int k = 0; k < BandMemoryMap::kCount; ++k)
        for (int half = 0; half < 2; ++half)
            InitChannelRecordAt(image, BandMemoryMap::HalfAddr(k, half), frequency(k, half), bands);
    // Each band side record: a copy of the basic settings block whose two sides name the bands
    // of its band memory's two frequencies (-1 is stored as 0xFF).
    for (int k = 0; k < BandSideRecordMap::kCount; ++k) {
        std::copy_n(image.begin() + BasicSettingsMap::kBase, BasicSettingsMap::kSize,
                    image.begin() + BandSideRecordMap::RecordAddr(k));
        SideRecord side(image, BandSideRecordMap::RecordAddr(k));
        for (int s = 0; s < 2; ++s)
            side.Band(s) = static_cast<std::uint8_t>(FindBand(bands, frequency(k, s)));
    }
}

FactoryLoad ResetToDefaults(RadioImage& image, FileHeader& header, BandTables& bands,
                            const std::filesystem::path& default_file) {
    FactoryLoad load;
    const FileBytes file = ReadFileBytes(default_file, kDataFileSize);
    load.error = file.error;
    if (file) {
        const std::size_t n = file.bytes.size();
        const std::size_t in_header = std::min(n, kHeaderSize);
        std::copy_n(file.bytes.begin(), in_header, header.begin());
        std::copy_n(file.bytes.begin() + static_cast<std::ptrdiff_t>(in_header), n - in_header,
                    image.begin());
        load.bytes_read = n;
    }
    // The bands of the records below are those of the limits just loaded: the file open before
    // must not decide which band a band memory's frequency lies in.
    RecomputeBandTables(bands, image);
    if (load.Loaded()) WriteResetRecords(image, bands);
    ReloadFiveToneTables(header);
    return load;
}

}  // namespace vm
