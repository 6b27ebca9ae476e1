#include "app/editors/catalogue/catalogue.h"

#include <cctype>

#include "app/editors/catalogue/editor_commands.h"
#include "app/editors/channels/channel_edit_dlg.h"
#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/program_view.h"
#include "app/editors/channels/scan_ch_view.h"
#include "app/editors/channels/vfo_dlg.h"
#include "app/editors/settings/alarm_view.h"
#include "app/editors/settings/basic_setting_view.h"
#include "app/editors/settings/dtmf_view.h"
#include "app/editors/settings/five_tone_view.h"
#include "app/editors/settings/freq_range_dlg.h"
#include "app/editors/settings/model_view.h"
#include "app/editors/settings/two_tone_view.h"

namespace vm {

namespace {

using ViewPtr = std::unique_ptr<CBaseFormView>;

// The channel table. Its "Channel edit" button opens the dialog of that name when the
// catalogue has it and the host can open editors; otherwise it stays disabled.
ViewPtr OpenChannelTable(EditorContext& c) {
    auto view = std::make_unique<CProgramView>(c.doc.Image(), c.doc.Bands());
    const EditorEntry* dialog = FindEditor("Channel edit");
    if (dialog && dialog->built() && c.open_editor) {
        auto open = c.open_editor;
        view->open_channel_edit = [open, dialog](int channel, const std::string& rx) {
            open(*dialog, channel, rx);
        };
    } else {
        view->form().SetEnabled(CProgramView::kIdChannelEdit, false);
    }
    return view;
}

// The channel edit dialog on the table's current row (the command line: channel 1, as the
// table opens), remembering the row's Rx text.
ViewPtr OpenChannelEdit(EditorContext& c) {
    return std::make_unique<CChannelEditDlg>(c.doc.Image(), c.doc.Bands(),
                                             c.record > 0 ? c.record : 1, c.record_text);
}

// After the frequency ranges: every channel whose receive frequency lies in no band goes.
void ClearChannelsOutsideBands(shell::Document& doc) {
    ClearOutOfBandChannels(doc.Image(), doc.Bands());
}

// In tree order, then the editors without a tree item.
const EditorEntry kEditors[] = {
    {.name = "Channel setting",
     .command = ID_EDIT_CHANNEL,
     .kind = WindowKind::FormView,
     .width = 1024,
     .height = 768,
     .title = CProgramView::kCaption,
     .maximised = true,
     .object_name = "CProgramView",
     .open = OpenChannelTable,
     .normalises = true},
    {.name = "VFO",
     .command = ID_EDIT_VFO,
     .kind = WindowKind::ModalDialog,
     .width = 560,
     .height = 470,
     .title = CVfoDlg::kCaption,
     .object_name = "CVfoDlg",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CVfoDlg>(c.doc.Image(), c.doc.Bands());
     }},
    {.name = "Scan channel",
     .command = ID_EDIT_SCAN,
     .kind = WindowKind::FormView,
     .child_menu_text = "Scan Channel",
     .width = 720,
     .height = 580,
     .title = "Scan channel",
     .object_name = "CScanChView",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CScanChView>(c.doc.Image(), c.doc.Bands());
     }},
    {.name = "Basic setting",
     .command = ID_EDIT_BASIC,
     .kind = WindowKind::TabbedView,
     .width = 620,
     .height = 580,
     .title = "Basic setting",
     .object_name = "CBasicSettingView",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CBasicSettingView>(c.doc.Image());
     }},
    {.name = "DTMF",
     .command = ID_EDIT_DTMF,
     .kind = WindowKind::TabbedView,
     .width = 730,
     .height = 550,
     .title = "DTMF",
     .object_name = "CDtmfView",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CDtmfView>(c.doc.Image());
     }},
    {.name = "2Tone",
     .command = ID_EDIT_2TONE,
     .kind = WindowKind::TabbedView,
     .width = 670,
     .height = 630,
     .title = "2Tone",
     .object_name = "CT2View",
     .open = [](EditorContext& c) -> ViewPtr { return std::make_unique<CT2View>(c.doc.Image()); },
     .layout = TwoToneLayout},
    {.name = "5Tone",
     .command = ID_EDIT_5TONE,
     .kind = WindowKind::FormView,
     .width = 830,
     .height = 650,
     .title = "5Tone",
     .object_name = "CT5View",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CT5View>(c.doc.Image(), c.doc.Header());
     }},
    {.name = "Model",
     .command = ID_EDIT_MODEL,
     .kind = WindowKind::FormView,
     .width = 360,
     .height = 360,
     .title = "Modle",
     .object_name = "CModelView",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CModelView>(c.doc.Image());
     }},
    {.name = "Frequency range",
     .command = ID_EDIT_FREQ_RANGE,
     .kind = WindowKind::ModalDialog,
     .width = 480,
     .height = 300,
     .title = CFreqRangeDlg::kCaption,
     .object_name = "CFreqRangeDlg",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CFreqRangeDlg>(c.doc.Image(), c.doc.Bands(),
                                                c.freq_range_unlocked);
     },
     .layout = FreqRangeLayout,
     .reloads_views = true,
     .after_close = ClearChannelsOutsideBands},
    {.name = "Alarm",
     .command = ID_EDIT_ALARM,
     .kind = WindowKind::FormView,
     .tree = false,
     .width = 490,
     .height = 535,
     .title = "Alarm",
     .object_name = "CAlarmView",
     .open = [](EditorContext& c) -> ViewPtr {
         return std::make_unique<CAlarmView>(c.doc.Image());
     }},
    {.name = "Channel edit",
     .kind = WindowKind::ModalDialog,
     .tree = false,
     .width = 540,
     .height = 400,
     .title = CChannelEditDlg::kCaption,
     .object_name = "CChannelEditDlg",
     .open = OpenChannelEdit,
     .layout = ChannelEditLayout,
     .reloads_views = true},
};

}  // namespace

std::span<const EditorEntry> Editors() {
    return kEditors;
}

const EditorEntry* FindEditor(std::string_view name) {
    for (const EditorEntry& e : kEditors)
        if (SameTextIgnoringCase(e.name, name)) return &e;
    return nullptr;
}

const EditorEntry* EditorOfCommand(int command) {
    if (command == 0) return nullptr;
    for (const EditorEntry& e : kEditors)
        if (e.command == command) return &e;
    return nullptr;
}

std::string EditorNames() {
    std::string s;
    for (const EditorEntry& e : kEditors)
        if (e.built()) s += (s.empty() ? "\"" : ", \"") + std::string(e.name) + "\"";
    return s;
}

std::unique_ptr<CBaseFormView> OpenEditorView(const EditorEntry& entry, EditorContext& ctx) {
    if (!entry.open) return nullptr;
    auto view = entry.open(ctx);
    view->message_hook = ctx.message;
    view->open_help = ctx.open_help;
    view->OnInitialUpdate();
    return view;
}

FormLayout EditorLayout(const EditorEntry& entry, const Form& form) {
    return entry.layout ? entry.layout(form) : DefaultLayout(form);
}

}  // namespace vm
