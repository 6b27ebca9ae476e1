#include "app/gui/channel_print_list.h"

#include <memory>

#include "app/editors/channels/program_view.h"

namespace vm::gui {

PrintList ChannelPrintList(const RadioImage& image, const BandTables& bands) {
    // A table of its own over copies: loading may initialise channel 1, and printing must not
    // change the image.
    auto copy = std::make_unique<RadioImage>(image);
    BandTables band_copy = bands;
    CProgramView table(*copy, band_copy);
    table.OnInitialUpdate();
    const Grid& g = table.grid();
    PrintList list;
    PrintLine heading;
    for (auto h : CProgramView::kHeaders)
        heading << QString::fromLatin1(h.data(), static_cast<qsizetype>(h.size()));
    list.lines.push_back(heading);
    for (int r = 1; r < g.Rows(); ++r) {
        if (g.Text(r, CProgramView::kColRx).empty()) continue;
        PrintLine line;
        for (int c = 0; c < g.Cols(); ++c) line << QString::fromStdString(g.Text(r, c));
        list.lines.push_back(line);
    }
    return list;
}

}  // namespace vm::gui
