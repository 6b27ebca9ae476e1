// The channel table window: the headless channel table (CProgramView) rendered by the form
// binder in its child frame "Channel Infomation".
#pragma once

#include <memory>

#include "app/editors/channels/program_view.h"
#include "app/gui/child_frame.h"
#include "app/gui/printing.h"

namespace vm::gui {

class CMainFrame;
class FormBinder;
class GridWidget;

class ChannelTableWindow : public EditorWindow {
    Q_OBJECT
public:
    ChannelTableWindow(RadioImage& image, BandTables& bands, QWidget* parent = nullptr);
    ~ChannelTableWindow() override;

    CBaseFormView* FormView() override { return &view_; }
    CProgramView& view() { return view_; }
    FormBinder& binder() { return *binder_; }
    GridWidget* grid() const;
    QWidget* control(int id) const;

private:
    CProgramView view_;
    std::unique_ptr<FormBinder> binder_;
};

// Opens the channel table for the main frame (the editor entry's factory).
EditorWindow* OpenChannelTable(CMainFrame& frame);

// The print list: the table's heading and every channel in use, as the table shows them.
PrintList ChannelPrintList(const RadioImage& image, const BandTables& bands);

}  // namespace vm::gui
