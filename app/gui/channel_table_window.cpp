#include "app/gui/channel_table_window.h"

#include <QGridLayout>
#include <QPushButton>

#include "app/gui/form_binder.h"
#include "app/gui/grid_widget.h"
#include "app/gui/main_frame.h"

namespace vm::gui {

ChannelTableWindow::ChannelTableWindow(RadioImage& image, BandTables& bands, QWidget* parent)
    : EditorWindow(parent), view_(image, bands) {
    setObjectName("CProgramView");
    binder_ = std::make_unique<FormBinder>(view_.form(), this);
    // The channel edit dialog is not part of this program yet: its button stays disabled.
    view_.form().SetEnabled(CProgramView::kIdChannelEdit, false);
    view_.OnInitialUpdate();

    // Layout: the grid over the whole view, the "Channel edit" button below it. The cell
    // editors and the hidden "A/B switch" are placed by the table itself.
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(binder_->widget(CProgramView::kIdGrid), 0, 0, 1, 3);
    layout->addWidget(binder_->widget(CProgramView::kIdChannelEdit), 1, 0);
    layout->setColumnStretch(2, 1);
    layout->setRowStretch(0, 1);
    binder_->widget(CProgramView::kIdGrid)->setFocus();
}

ChannelTableWindow::~ChannelTableWindow() = default;

GridWidget* ChannelTableWindow::grid() const {
    return binder_->grid(CProgramView::kIdGrid);
}

QWidget* ChannelTableWindow::control(int id) const {
    return binder_->widget(id);
}

EditorWindow* OpenChannelTable(CMainFrame& frame) {
    return new ChannelTableWindow(frame.image(), frame.document().Bands());
}

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
