// Fuzzes the channel CSV import (`vm6142 channels --import`): the text is parsed; a refused
// file must give a line-numbered reason; an accepted one is applied to the channel table over
// the factory image, stored, and then exported. Importing that export must change no cell and,
// once stored, no byte: the export is a fixed point of the import.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/channel_sheet.h"
#include "app/editors/channels/program_view.h"
#include "app/image/band_tables.h"
#include "fuzz/fuzz_support.h"

using namespace vm;

namespace {

std::vector<std::string> CellTexts(const Grid& grid) {
    std::vector<std::string> texts;
    for (int r = 1; r < CProgramView::kRows; ++r)
        for (int c = 0; c < CProgramView::kColumnCount; ++c) texts.push_back(grid.Text(r, c));
    return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const CsvImport import = ParseChannelCsv(text);
    if (!import.ok()) {
        fuzz::Check(import.error.rfind("line ", 0) == 0, "a refused CSV file names no line");
        return 0;
    }

    auto image = std::make_unique<RadioImage>(fuzz::FactoryImage());
    BandTables bands = fuzz::ChannelTableBands(*image);
    {
        CProgramView table(*image, bands);
        table.OnInitialUpdate();
        ApplyImport(table, import);
        table.StoreToImage();
        ClearCommitBits(*image);
    }

    // The table as it is now, exported, then imported again over the same image.
    CProgramView table(*image, bands);
    table.OnInitialUpdate();
    std::ostringstream csv;
    WriteChannelCsv(table, csv);
    const CsvImport again = ParseChannelCsv(csv.str());
    fuzz::Check(again.ok(), "the table's own export was refused");
    const std::vector<std::string> before = CellTexts(table.grid());
    const auto stored = std::make_unique<RadioImage>(*image);
    const std::vector<EditReport> reports = ApplyImport(table, again);
    fuzz::Check(reports.empty(), "importing the table's own export reported edits");
    fuzz::Check(CellTexts(table.grid()) == before,
                "importing the table's own export changed cells");
    table.StoreToImage();
    ClearCommitBits(*image);
    fuzz::Check(*image == *stored, "storing after importing the export changed the image");
    return 0;
}
