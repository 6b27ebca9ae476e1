// The frame's "commit all views", shared by the desktop editor's main frame and every save of
// the command line, and the session in which the command line drives an editor as the
// desktop editor has it open.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/editors/catalogue/catalogue.h"
#include "app/editors/framework/form_dialog.h"
#include "app/image/radio_image.h"

namespace vm {

struct OpenView {
    const EditorEntry* entry = nullptr;
    CBaseFormView* view = nullptr;
};

// Commit all views: every open view commits (its focused control first, then StoreToImage),
// the normalising views (the channel table) after all others so that the bytes they derive
// follow every edit; then bits 0 and 1 of 0xCC25 are cleared.
void CommitAllViews(RadioImage& image, std::span<const OpenView> views);
// Reload all views (after New, Open, Read).
void ReloadAllViews(std::span<const OpenView> views);
// Around a modal dialog: the normalising views are stored before it opens (their cells hold
// the only copy of what was typed) and, when the dialog's entry reloads views, reloaded after
// it closed and its after-close step ran.
void BeforeModal(std::span<const OpenView> views);
void AfterModal(const EditorEntry& dialog, shell::Document& doc, std::span<const OpenView> views);

// The desktop editor after start-up and File > Open, with one more editor open: the views
// the main frame opens at start-up (the channel table), then the editor itself.
// Messages the editors raise are collected; the command line fails on any of them.
class EditorSession {
public:
    // Opens the start-up views and `entry` over `doc` (already opened).
    EditorSession(const EditorEntry& entry, shell::Document& doc);
    ~EditorSession();
    EditorSession(const EditorSession&) = delete;
    EditorSession& operator=(const EditorSession&) = delete;

    CBaseFormView& view() { return *view_; }
    const EditorEntry& entry() const { return entry_; }
    // The dialog's records, and going to one (false when the editor does not step through
    // records or the record is outside them).
    RecordRange Records() const;
    bool GoToRecord(int record);

    // The messages raised since the session opened, each with what it is about (the first one
    // is the one to report).
    const std::vector<std::string>& messages() const { return messages_; }

    // The user closes the editor (RequestClose). A refusal returns its message and the editor
    // stays open. A modal dialog that closed runs its after-close step and the start-up views
    // reload as in the desktop editor.
    std::optional<std::string> Close();
    // File > Save's commit over the views open now (the editor too while it is open).
    void Commit();
    // The views open now, in the order they opened.
    std::vector<OpenView> Views();

private:
    const EditorEntry& entry_;
    shell::Document& doc_;
    std::vector<std::string> messages_;
    bool freq_range_unlocked_ = false;  // the lock, for the session's run
    std::vector<std::pair<const EditorEntry*, std::unique_ptr<CBaseFormView>>> startup_;
    std::unique_ptr<CBaseFormView> view_;
    bool open_ = false;
};

// The views the main frame opens at start-up, in order.
std::vector<const EditorEntry*> StartupEditors();

// The document's image stored through every editor view (the windows, not the modal dialogs),
// opened over it and closed again, as File > Save commits them: the image then holds what every
// later save without an edit gives, whichever windows are open (the bytes the views correct and
// derive: first channels, band memories, side records, bitmaps, empty records).
void CommitEveryView(shell::Document& doc);
// File > New: the reset to defaults (Document::New), then CommitEveryView, so that a new file
// is already what a save of it gives.
FactoryLoad NewDocument(shell::Document& doc, const std::filesystem::path& default_file);

}  // namespace vm
