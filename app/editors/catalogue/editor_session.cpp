#include "app/editors/catalogue/editor_session.h"

#include <stdexcept>

#include "app/editors/catalogue/editor_commands.h"

namespace vm {

void CommitAllViews(RadioImage& image, std::span<const OpenView> views) {
    for (bool normalising : {false, true})
        for (const OpenView& v : views)
            if (v.view && !v.view->destroyed() && v.entry && v.entry->normalises == normalising)
                v.view->Commit();
    ClearCommitBits(image);
}

void ReloadAllViews(std::span<const OpenView> views) {
    for (const OpenView& v : views)
        if (v.view && !v.view->destroyed()) v.view->LoadFromImage();
}

void BeforeModal(std::span<const OpenView> views) {
    for (const OpenView& v : views)
        if (v.view && v.entry && v.entry->normalises) v.view->Commit();
}

void AfterModal(const EditorEntry& dialog, shell::Document& doc, std::span<const OpenView> views) {
    if (dialog.after_close) dialog.after_close(doc);
    if (!dialog.reloads_views && !dialog.after_close) return;
    for (const OpenView& v : views)
        if (v.view && v.entry && v.entry->normalises) v.view->LoadFromImage();
}

std::vector<const EditorEntry*> StartupEditors() {
    return {EditorOfCommand(ID_EDIT_CHANNEL)};
}

void CommitEveryView(shell::Document& doc) {
    EditorContext ctx{.doc = doc};
    std::vector<std::pair<const EditorEntry*, std::unique_ptr<CBaseFormView>>> opened;
    for (const EditorEntry& e : Editors())
        if (e.built() && e.kind != WindowKind::ModalDialog)
            opened.emplace_back(&e, OpenEditorView(e, ctx));
    std::vector<OpenView> views;
    for (auto& [e, v] : opened) views.push_back({e, v.get()});
    CommitAllViews(doc.Image(), views);
    // Closing them stores what they show once more, as closing their windows would.
    for (auto& [e, v] : opened) v->Destroy();
    ClearCommitBits(doc.Image());
}

FactoryLoad NewDocument(shell::Document& doc, const std::filesystem::path& default_file) {
    const FactoryLoad load = doc.New(default_file);
    CommitEveryView(doc);
    return load;
}

EditorSession::EditorSession(const EditorEntry& entry, shell::Document& doc)
    : entry_(entry), doc_(doc) {
    if (!entry.built()) throw std::logic_error(std::string(entry.name) + " is not built");
    EditorContext ctx{.doc = doc,
                      .message =
                          [this](const std::string& text, const std::string& detail) {
                              messages_.push_back(detail.empty() ? text : text + " " + detail);
                          },
                      .freq_range_unlocked = &freq_range_unlocked_};
    for (const EditorEntry* e : StartupEditors())
        if (e && e != &entry && e->built()) startup_.emplace_back(e, OpenEditorView(*e, ctx));
    if (entry.kind == WindowKind::ModalDialog) BeforeModal(Views());
    view_ = OpenEditorView(entry, ctx);
    open_ = true;
}

EditorSession::~EditorSession() {
    if (view_) view_->Destroy();
    for (auto& [e, v] : startup_) v->Destroy();
}

std::vector<OpenView> EditorSession::Views() {
    std::vector<OpenView> views;
    for (auto& [e, v] : startup_) views.push_back({e, v.get()});
    if (open_) views.push_back({&entry_, view_.get()});
    return views;
}

RecordRange EditorSession::Records() const {
    const auto* dialog = dynamic_cast<const CFormDialog*>(view_.get());
    return dialog ? dialog->Records() : RecordRange{};
}

bool EditorSession::GoToRecord(int record) {
    auto* dialog = dynamic_cast<CFormDialog*>(view_.get());
    if (!dialog || !dialog->Records().Contains(record)) return false;
    return dialog->GoToRecord(record) && dialog->Record() == record;
}

std::optional<std::string> EditorSession::Close() {
    if (!open_) return std::nullopt;
    if (!view_->RequestClose())
        return view_->last_detail().empty() ? view_->last_message()
                                            : view_->last_message() + " " + view_->last_detail();
    open_ = false;
    if (entry_.kind == WindowKind::ModalDialog) {
        std::vector<OpenView> views = Views();
        AfterModal(entry_, doc_, views);
    }
    return std::nullopt;
}

void EditorSession::Commit() {
    const std::vector<OpenView> views = Views();
    CommitAllViews(doc_.Image(), views);
}

}  // namespace vm
