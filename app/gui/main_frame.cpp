#include "app/gui/main_frame.h"

#include <cerrno>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QTextBrowser>
#include <QTime>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>

#include "app/editors/framework/base_form_view.h"
#include "app/gui/about_box.h"
#include "app/gui/channel_print_list.h"
#include "app/gui/channel_table_actions.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/custom_data_dlg.h"
#include "app/gui/editor_windows.h"
#include "app/gui/key_lock_panes.h"
#include "app/gui/password_dlg.h"
#include "app/gui/port_dlg.h"
#include "app/gui/transfer_dlg.h"
#include "app/gui/ui_hooks.h"
#include "app/gui/window_menu.h"
#include "app/shell/messages.h"

namespace vm::gui {

CMainFrame::CMainFrame(shell::AppState& app, shell::Document& document, QWidget* parent)
    : QMainWindow(parent), app_(app), document_(document) {
    setObjectName("CMainFrame");
    link_options_.timing = ProgramLinkTiming();
    recent_.Read(app_.settings);
    mdi_ = new QMdiArea(this);
    mdi_->setObjectName("MdiClient");
    mdi_->setBackground(QColor(0x80, 0x80, 0x80));
    setCentralWidget(mdi_);
    connect(mdi_, &QMdiArea::subWindowActivated, this, &CMainFrame::OnSubWindowActivated);
    CreateActions();
    CreateSafetyActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    CreateTree();
    ShowMenuVariant(false);
    auto* unlock = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F11), this);
    unlock->setContext(Qt::WindowShortcut);
    connect(unlock, &QShortcut::activated, this, &CMainFrame::OnServiceUnlock);
    auto* close_child = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F4), this);
    close_child->setContext(Qt::WindowShortcut);
    connect(close_child, &QShortcut::activated, mdi_, &QMdiArea::closeActiveSubWindow);
    resize(FirstWindowSize(QSize(1024, 768), screen()->availableGeometry().size()));
}

CMainFrame::~CMainFrame() {
    // The children go while the frame is half destroyed: none of their signals may reach it.
    disconnect(mdi_, nullptr, this, nullptr);
    // A child closing as the frame goes reports its state change: the title it would update
    // is gone already.
    for (QMdiSubWindow* child : mdi_->subWindowList()) disconnect(child, nullptr, this, nullptr);
    disconnect(tree_bar_, nullptr, this, nullptr);
    disconnect(toolbar_, nullptr, nullptr, nullptr);
}

void CMainFrame::Initialise() {
    document_.New(app_.DefaultDataFile());
    UpdateTitle();
    OpenEditor(ID_EDIT_CHANNEL);
    ShowPortPath();
    MarkUnmodified();
}

// ---------------------------------------------------------------------------------------------
// Menus, toolbar, status bar, tree

bool CMainFrame::EditorBuilt(int command) const {
    const EditorEntry* e = EditorOfCommand(command);
    return e && e->built();
}

QAction* CMainFrame::action(int command) const {
    auto it = actions_.find(command);
    return it == actions_.end() ? nullptr : it->second;
}

void CMainFrame::CreateActions() {
    auto add = [this](int id, const QString& text, QKeySequence key, std::function<void()> run,
                      QStyle::StandardPixmap icon = QStyle::SP_CustomBase) {
        auto* a = new QAction(text, this);
        a->setData(id);
        if (!key.isEmpty()) a->setShortcut(key);
        if (icon != QStyle::SP_CustomBase) a->setIcon(style()->standardIcon(icon));
        connect(a, &QAction::triggered, this, std::move(run));
        actions_[id] = a;
        return a;
    };
    add(
        ID_FILE_NEW, "&New(&N)", QKeySequence(Qt::CTRL | Qt::Key_N), [this] { OnFileNew(); },
        QStyle::SP_FileIcon)
        ->setToolTip("New");
    add(
        ID_FILE_OPEN, "&Open(&O)...", QKeySequence(Qt::CTRL | Qt::Key_O), [this] { OnFileOpen(); },
        QStyle::SP_DialogOpenButton)
        ->setToolTip("Open");
    add(
        ID_FILE_SAVE, "&Save(&S)", QKeySequence(Qt::CTRL | Qt::Key_S), [this] { OnFileSave(); },
        QStyle::SP_DialogSaveButton)
        ->setToolTip("Save");
    add(ID_FILE_SAVE_AS, "Save &As(&A)...", {}, [this] { OnFileSaveAs(); });
    add(
        ID_FILE_PRINT, "&Print...", QKeySequence(Qt::CTRL | Qt::Key_P), [this] { OnFilePrint(); },
        QStyle::SP_FileDialogDetailedView)
        ->setToolTip("Print");
    add(ID_FILE_PRINT_PREVIEW, "Print Pre&view", {}, [this] { OnFilePrintPreview(); });
    add(ID_FILE_PRINT_SETUP, "P&rint Setup...", {}, [this] { OnFilePrintSetup(); });
    add(ID_FILE_IMPORT_CHANNELS, "&Import Channels...", {}, [this] { OnChannelList(true); });
    add(ID_FILE_EXPORT_CHANNELS, "&Export Channels...", {}, [this] { OnChannelList(false); });
    add(ID_APP_EXIT, "E&xit(&X)", QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
    for (const EditorEntry& e : Editors()) {
        if (!e.tree) continue;
        const int id = e.command;
        QAction* a = add(id, QString::fromUtf8(e.name.data(), qsizetype(e.name.size())), {},
                         [this, id] { OpenEditor(id); });
        a->setEnabled(e.built());
        if (e.ChildMenuText() == e.name) continue;
        // The child windows' menu spells this item otherwise: an action of its own.
        const std::string_view text = e.ChildMenuText();
        auto* child = new QAction(QString::fromUtf8(text.data(), qsizetype(text.size())), this);
        child->setData(id);
        child->setEnabled(e.built());
        connect(child, &QAction::triggered, this, [this, id] { OpenEditor(id); });
        child_actions_[id] = child;
    }
    add(
        ID_PROGRAM_READ, "Read", {}, [this] { OnProgramRead(); }, QStyle::SP_ArrowDown)
        ->setToolTip("Read");
    add(
        ID_PROGRAM_WRITE, "Write", {}, [this] { OnProgramWrite(); }, QStyle::SP_ArrowUp)
        ->setToolTip("Write");
    QAction* toolbar = add(ID_VIEW_TOOLBAR, "&Toolbar(&T)", {}, [] {});
    toolbar->setCheckable(true);
    toolbar->setChecked(true);
    QAction* status = add(ID_VIEW_STATUS_BAR, "&Status Bar(&S)", {}, [] {});
    status->setCheckable(true);
    status->setChecked(true);
    QAction* tree = add(ID_VIEW_TREE, "Tree View", {}, [] {});
    tree->setCheckable(true);
    tree->setChecked(true);
    add(
        ID_SETTING_PORT, "Port", {}, [this] { OnSettingPort(); }, QStyle::SP_ComputerIcon)
        ->setToolTip("Port");
    add(ID_WINDOW_CASCADE, "Cascade(&C)", {}, [this] { CascadeSubWindows(*mdi_); });
    add(ID_WINDOW_TILE_HORZ, "Tile(&T)", {}, [this] { TileSubWindows(*mdi_); });
    add(ID_WINDOW_ARRANGE, "Arrange(&A)", {}, [this] { ArrangeMinimised(*mdi_); });
    add(
        ID_APP_ABOUT, "About...", {}, [this] { OnAbout(); }, QStyle::SP_MessageBoxInformation)
        ->setToolTip("About");
    QAction* help = add(ID_HELP_INDEX, "Help", QKeySequence(Qt::Key_F1), [this] { OnHelp(); });
    addAction(help);  // F1 anywhere in the window; no menu entry
}

void CMainFrame::CreateMenus() {
    for (bool child : {false, true}) {
        std::vector<QMenu*>& menus = child ? child_menus_ : frame_menus_;
        auto* file = new QMenu("&File", this);
        for (int id : {ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, ID_FILE_SAVE_AS})
            file->addAction(action(id));
        file->addSeparator();
        for (int id : {ID_FILE_OPEN_BACKUP, ID_FILE_COMPARE}) file->addAction(action(id));
        file->addSeparator();
        for (int id : {ID_FILE_PRINT, ID_FILE_PRINT_PREVIEW, ID_FILE_PRINT_SETUP})
            file->addAction(action(id));
        file->addSeparator();
        for (int id : {ID_FILE_IMPORT_CHANNELS, ID_FILE_EXPORT_CHANNELS})
            file->addAction(action(id));
        file->addSeparator();
        file->addAction(action(ID_APP_EXIT));
        connect(file, &QMenu::aboutToShow, this, [this, file] { FillRecentFiles(*file); });
        FillRecentFiles(*file);
        auto* edit = new QMenu("&Edit", this);
        for (const EditorEntry& e : Editors()) {
            if (!e.tree) continue;
            auto own = child_actions_.find(e.command);
            edit->addAction(child && own != child_actions_.end() ? own->second : action(e.command));
        }
        // The frame's "Custom Data" is removed at start-up; it comes back with the service unlock.
        auto* program = new QMenu("&Program", this);
        program->addAction(action(ID_PROGRAM_READ));
        program->addAction(action(ID_PROGRAM_WRITE));
        auto* view = new QMenu("&View", this);
        for (int id : {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_VIEW_TREE})
            view->addAction(action(id));
        auto* setting = new QMenu("&Setting", this);
        setting->addAction(action(ID_SETTING_PORT));
        auto* window = new QMenu("&Window", this);
        for (int id : {ID_WINDOW_CASCADE, ID_WINDOW_TILE_HORZ, ID_WINDOW_ARRANGE})
            window->addAction(action(id));
        connect(window, &QMenu::aboutToShow, this,
                [this, window] { ListOpenWindows(*window, *mdi_); });
        auto* help = new QMenu("&Help", this);
        help->addAction(action(ID_APP_ABOUT));
        menus = {file, edit, program, view, setting, window, help};
    }
}

QMenu* CMainFrame::menu(bool child_menu, int index) const {
    const auto& menus = child_menu ? child_menus_ : frame_menus_;
    return menus.at(static_cast<std::size_t>(index));
}

QMenu* CMainFrame::editMenu(bool child_menu) const {
    return menu(child_menu, 1);
}

void CMainFrame::ShowMenuVariant(bool child) {
    if (!menuBar()->actions().isEmpty() && child == child_menu_shown_) return;
    child_menu_shown_ = child;
    menuBar()->clear();
    for (QMenu* m : child ? child_menus_ : frame_menus_) menuBar()->addMenu(m);
}

void CMainFrame::OnSubWindowActivated() {
    ShowMenuVariant(mdi_->activeSubWindow() != nullptr);
    // The window activated is shown whole, and the tree marks its item.
    if (auto* child = qobject_cast<CChildFrame*>(mdi_->activeSubWindow())) {
        BringIntoView(*mdi_, *child);
        for (int i = 0; tree_ && i < tree_->topLevelItemCount(); ++i)
            for (int k = 0; k < tree_->topLevelItem(i)->childCount(); ++k)
                if (QTreeWidgetItem* item = tree_->topLevelItem(i)->child(k);
                    item->data(0, Qt::UserRole).toInt() == child->command())
                    tree_->setCurrentItem(item);
    }
    // The title follows the current child being maximised, restored or renamed.
    if (QMdiSubWindow* current = mdi_->currentSubWindow()) {
        connect(current, &QMdiSubWindow::windowStateChanged, this, &CMainFrame::ApplyTitle,
                Qt::UniqueConnection);
        connect(current, &QWidget::windowTitleChanged, this, &CMainFrame::ApplyTitle,
                Qt::UniqueConnection);
    }
    ApplyTitle();
}

void CMainFrame::CreateToolBar() {
    toolbar_ = addToolBar("Toolbar");
    toolbar_->setObjectName("ToolBar128");
    toolbar_->setIconSize(QSize(16, 16));
    for (int id : std::initializer_list<int>{ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, 0,
                                             ID_PROGRAM_READ, ID_PROGRAM_WRITE, 0, ID_FILE_PRINT,
                                             ID_SETTING_PORT, ID_APP_ABOUT}) {
        if (id == 0)
            toolbar_->addSeparator();
        else
            toolbar_->addAction(action(id));
    }
    connect(action(ID_VIEW_TOOLBAR), &QAction::toggled, toolbar_, &QToolBar::setVisible);
    connect(toolbar_, &QToolBar::visibilityChanged, action(ID_VIEW_TOOLBAR), &QAction::setChecked);
}

void CMainFrame::CreateStatusBar() {
    // The message pane's idle text: a passing message covers it and uncovers it when it goes.
    message_pane_ = new QLabel("Ready", this);
    message_pane_->setObjectName("MessagePane");
    statusBar()->addWidget(message_pane_, 1);
    com_pane_ = new QLabel(this);
    com_pane_->setObjectName("COM");
    com_pane_->setMinimumWidth(50);
    com_pane_->setAlignment(Qt::AlignCenter);
    freq_pane_ = new QLabel(this);
    freq_pane_->setObjectName("Freq");
    freq_pane_->setMinimumWidth(100);
    statusBar()->addPermanentWidget(com_pane_);
    statusBar()->addPermanentWidget(freq_pane_);
    lock_panes_ = new KeyLockPanes(*statusBar());
    connect(action(ID_VIEW_STATUS_BAR), &QAction::toggled, statusBar(), &QStatusBar::setVisible);
}

void CMainFrame::CreateTree() {
    tree_bar_ = new QDockWidget("Tree Bar", this);
    tree_bar_->setObjectName("TreeBar");
    tree_ = new QTreeWidget(tree_bar_);
    tree_->setObjectName(QString::number(IDC_TREE));
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    auto* root = new QTreeWidgetItem(tree_, {QString::fromStdString(app_.model_name)});
    for (const EditorEntry& e : Editors()) {
        if (!e.tree) continue;
        auto* item =
            new QTreeWidgetItem(root, {QString::fromUtf8(e.name.data(), qsizetype(e.name.size()))});
        item->setData(0, Qt::UserRole, e.command);
        if (!e.built()) item->setFlags(item->flags() & ~Qt::ItemIsEnabled);
    }
    root->setExpanded(true);
    tree_bar_->setWidget(tree_);
    tree_->setMinimumSize(150, 200);
    tree_bar_->setMinimumWidth(150);
    addDockWidget(Qt::LeftDockWidgetArea, tree_bar_);
    resizeDocks({tree_bar_}, {150}, Qt::Horizontal);
    connect(tree_, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { OnTreeClicked(item); });
    OpenOnKeys(*tree_, [this](QTreeWidgetItem* item) { OnTreeClicked(item); });
    QAction* tree_view = action(ID_VIEW_TREE);
    connect(tree_view, &QAction::triggered, this, [this](bool) {
        // Shows or hides the tree bar; the check mark follows its visibility.
        tree_bar_->setVisible(!tree_bar_->isVisible());
    });
    connect(tree_bar_, &QDockWidget::visibilityChanged, this,
            [this, tree_view](bool) { tree_view->setChecked(!tree_bar_->isHidden()); });
}

void CMainFrame::OnTreeClicked(QTreeWidgetItem* item) {
    if (!item || !item->parent()) return;  // the root opens nothing
    // The item's text decides.
    const EditorEntry* e = FindEditor(item->text(0).toStdString());
    if (e && e->tree) OpenEditor(e->command);
}

bool CMainFrame::Execute(int command) {
    QAction* a = action(command);
    if (!a || !a->isEnabled()) return false;
    a->trigger();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Editors

CChildFrame* CMainFrame::childFrame(int command) const {
    for (QMdiSubWindow* w : mdi_->subWindowList())
        if (auto* f = qobject_cast<CChildFrame*>(w); f && f->command() == command) return f;
    return nullptr;
}

EditorContext CMainFrame::MakeEditorContext() {
    return EditorContext{
        .doc = document_,
        .message =
            [this](const std::string& text, const std::string& detail) {
                Hooks().message_box(this, QString::fromStdString(text), AppTitle(),
                                    MessageButtons::Ok, MessageIcon::Warning,
                                    QString::fromStdString(detail));
            },
        .open_help = [this](int) { OnHelp(); },
        .extended_range = extended_range_,
        .freq_range_unlocked = &freq_range_unlocked_,
        .open_editor = [this](const EditorEntry& entry, int record,
                              const std::string& text) { RunModalEditor(entry, record, text); }};
}

std::vector<OpenView> CMainFrame::OpenViews() const {
    std::vector<OpenView> views;
    for (QMdiSubWindow* w : mdi_->subWindowList(QMdiArea::CreationOrder))
        if (auto* f = qobject_cast<CChildFrame*>(w); f && f->view())
            if (CBaseFormView* v = f->view()->FormView())
                views.push_back({EditorOfCommand(f->command()), v});
    return views;
}

void CMainFrame::OpenEditor(int command) {
    const EditorEntry* e = EditorOfCommand(command);
    if (!e || !e->built()) return;
    if (e->kind == WindowKind::ModalDialog) {
        RunModalEditor(*e);
        return;
    }
    if (CChildFrame* open = childFrame(command)) {
        if (open->isMinimized()) open->showNormal();
        mdi_->setActiveSubWindow(open);
        BringIntoView(*mdi_, *open);
        return;
    }
    EditorContext ctx = MakeEditorContext();
    EditorWindow* view = OpenEditorWindow(*e, ctx);
    if (!view) return;
    auto* frame = new CChildFrame(command, view);
    mdi_->addSubWindow(frame);
    // Restored from maximised or minimised, the window comes back inside the area.
    connect(frame, &QMdiSubWindow::windowStateChanged, this,
            [this, frame](Qt::WindowStates, Qt::WindowStates now) {
                if (!(now & (Qt::WindowMaximized | Qt::WindowMinimized)))
                    BringIntoView(*mdi_, *frame);
            });
    frame->setWindowTitle(QString::fromUtf8(e->title.data(), qsizetype(e->title.size())));
    // Inside the area once it has its size (a frame not yet shown has none).
    const QRect wanted(0, 0, e->width, e->height);
    frame->setGeometry(mdi_->isVisible() ? IntoView(wanted, mdi_->viewport()->size()) : wanted);
    if (e->maximised)
        frame->showMaximized();
    else
        frame->show();
    mdi_->setActiveSubWindow(frame);
}

void CMainFrame::RunModalEditor(const EditorEntry& entry, int record, const std::string& text) {
    if (!entry.built() || entry.kind != WindowKind::ModalDialog) return;
    BeforeModal(OpenViews());
    EditorContext ctx = MakeEditorContext();
    ctx.record = record;
    ctx.record_text = text;
    RunEditorDialog(entry, ctx, this);
    AfterModal(entry, document_, OpenViews());
}

void CMainFrame::OpenChannelViewIfNoneOpen() {
    if (mdi_->subWindowList().isEmpty()) OpenEditor(ID_EDIT_CHANNEL);
}

void CMainFrame::CommitAllViews() {
    vm::CommitAllViews(image(), OpenViews());
}

void CMainFrame::ReloadAllViews() {
    vm::ReloadAllViews(OpenViews());
    ResetChannelHistories(*mdi_);
}

// File > Import Channels... and Export Channels...: on the channel table, opened if need be.
void CMainFrame::OnChannelList(bool import) {
    OpenEditor(ID_EDIT_CHANNEL);
    CChildFrame* table = childFrame(ID_EDIT_CHANNEL);
    ChannelTableActions* actions = table ? ChannelActionsOf(table->view()) : nullptr;
    if (!actions) return;
    if (import)
        actions->ImportChannels();
    else
        actions->ExportChannels();
}

// ---------------------------------------------------------------------------------------------
// Files

void CMainFrame::UpdateTitle() {
    own_title_ = QString::fromStdString(
        ModifiedTitle(document_.Title(app_.ModelForTitle()), modified_shown_));
    ApplyTitle();
}

void CMainFrame::ApplyTitle() {
    // The frame's title, with the title of the current child added while it is maximised. Qt
    // adds a child's title itself from a copy of the frame's title taken when the child was
    // first maximised, which goes stale when the file changes: the frame sets it whole.
    QString title = own_title_;
    if (QMdiSubWindow* child = mdi_ ? mdi_->currentSubWindow() : nullptr;
        child && child->isMaximized() && !child->windowTitle().isEmpty())
        title = title.isEmpty() ? child->windowTitle()
                                : QString("%1 - [%2]").arg(title, child->windowTitle());
    if (windowTitle() != title) setWindowTitle(title);
}

void CMainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowTitleChange) ApplyTitle();
}

void CMainFrame::OnFileNew() {
    if (!MayDropDocument()) return;
    const auto answer = Hooks().message_box(this, QString::fromUtf8(shell::kMsgClearAllData.data()),
                                            QString::fromUtf8(shell::kCaptionWarning.data()),
                                            MessageButtons::YesNo, MessageIcon::None, {});
    if (answer != MessageAnswer::Yes) return;
    NewDocument(document_, app_.DefaultDataFile());
    ReloadAllViews();
    MarkUnmodified();
}

void CMainFrame::OnFileOpen() {
    if (!MayDropDocument()) return;
    FileChoice choice;
    choice.folder = QString::fromStdString(app_.data_folder.string());
    choice.filter = DataFileFilter();
    const QString path = Hooks().choose_file(this, choice);
    if (path.isEmpty()) return;
    OpenFile(path.toStdString());
}

bool CMainFrame::OpenFile(const std::filesystem::path& file) {
    const shell::OpenResult result = document_.Open(file);
    if (!result.ok()) {
        Hooks().message_box(this, QString::fromStdString(result.message), AppTitle(),
                            MessageButtons::Ok, MessageIcon::Warning,
                            QString::fromStdString(file.string()));
        return false;
    }
    ReloadAllViews();
    OpenChannelViewIfNoneOpen();
    MarkUnmodified();
    RememberFile(document_.CurrentFile());
    return true;
}

void CMainFrame::RememberFile(const std::filesystem::path& file) {
    recent_.Add(file);
    recent_.Write(app_.settings);
}

void CMainFrame::OnOpenRecent(std::size_t index) {
    if (index >= recent_.Files().size()) return;
    const std::filesystem::path file = recent_.Files()[index];
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        // A file that is gone leaves the list, and the user is told why it went.
        recent_.Remove(file);
        recent_.Write(app_.settings);
        Hooks().message_box(
            this, QString::fromStdString(shell::SystemErrorText(ENOENT)), AppTitle(),
            MessageButtons::Ok, MessageIcon::Warning,
            QString::fromStdString(file.string()) + "\nIt was removed from the recent-file list.");
        return;
    }
    if (!MayDropDocument()) return;
    OpenFile(file);
}

void CMainFrame::FillRecentFiles(QMenu& file_menu) {
    for (QAction* a : file_menu.actions())
        if (a->property("recent").isValid()) {
            file_menu.removeAction(a);
            a->deleteLater();
        }
    QAction* exit = action(ID_APP_EXIT);
    const auto& files = recent_.Files();
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto* a = new QAction(QString::fromStdString(shell::RecentFileList::MenuText(i, files[i])),
                              &file_menu);
        a->setProperty("recent", static_cast<int>(i));
        a->setStatusTip(QString::fromStdString(files[i].string()));
        a->setToolTip(a->statusTip());
        connect(a, &QAction::triggered, this, [this, i] { OnOpenRecent(i); });
        file_menu.insertAction(exit, a);
    }
    if (!files.empty()) {
        auto* separator = new QAction(&file_menu);
        separator->setSeparator(true);
        separator->setProperty("recent", -1);
        file_menu.insertAction(exit, separator);
    }
}

void CMainFrame::OnFileSave() {
    SaveDocument();
}

bool CMainFrame::SaveDocument() {
    CommitAllViews();
    if (!document_.HasCurrentFile()) return SaveAsChosenFile();
    const shell::IoResult result = document_.Save();
    if (!result.ok) {
        Hooks().message_box(this, QString::fromStdString(result.message), AppTitle(),
                            MessageButtons::Ok, MessageIcon::Warning,
                            QString::fromStdString(document_.CurrentFile().string()));
        return false;
    }
    MarkUnmodified();
    return true;
}

void CMainFrame::OnFileSaveAs() {
    CommitAllViews();
    SaveAsChosenFile();
}

bool CMainFrame::SaveAsChosenFile() {
    FileChoice choice;
    choice.save = true;
    choice.folder = QString::fromStdString(app_.data_folder.string());
    choice.file_name = QString::fromStdString(app_.default_file_name);
    choice.filter = DataFileFilter();
    const QString path = Hooks().choose_file(this, choice);
    if (path.isEmpty()) return false;
    const shell::IoResult result = document_.SaveAs(path.toStdString());
    if (!result.ok) {
        Hooks().message_box(this, QString::fromStdString(result.message), AppTitle(),
                            MessageButtons::Ok, MessageIcon::Warning, path);
        return false;
    }
    MarkUnmodified();
    RememberFile(document_.CurrentFile());
    return true;
}

// ---------------------------------------------------------------------------------------------
// Transfers, port, service functions

std::string CMainFrame::PortDevice() const {
    std::string device = MakePortResolver(app_.settings, app_.port_path)(app_.port_path);
    return device.empty() ? app_.port_path : device;
}

bool CMainFrame::RunTransfer(const TransferRangeTable& table, std::function<bool()> read_backup) {
    const std::string device = PortDevice();
    CloneWorkerOptions options = link_options_;
    options.port_label = PortLabel(app_.port_path, device);
    QElapsedTimer clock;
    clock.start();
    CTransferDlg dialog(image(), table, device, extended_range_, options, this);
    if (read_backup) dialog.OfferBackupFirst(std::move(read_backup));
    dialog.exec();
    // What became of the transfer stays in the status bar until the next message.
    const std::optional<TransferOutcome> outcome = dialog.outcome();
    const bool read = table.direction == TransferDirection::Read;
    QString status;
    if (dialog.success())
        status = QString("%1 complete at %2 (%3 s)")
                     .arg(read ? "Read" : "Write")
                     .arg(QTime::currentTime().toString("HH:mm:ss"))
                     .arg(static_cast<double>(clock.elapsed()) / 1000.0, 0, 'f', 1);
    else if (outcome && *outcome == TransferOutcome::Cancelled)
        status = QString("%1 cancelled at %2")
                     .arg(read ? "Read" : "Write", QTime::currentTime().toString("HH:mm:ss"));
    else if (outcome)
        status = QString("%1 failed at %2: %3")
                     .arg(read ? "Read" : "Write", QTime::currentTime().toString("HH:mm:ss"),
                          QString::fromStdString(dialog.detail().empty() ? OutcomeName(*outcome)
                                                                         : dialog.detail()));
    if (!status.isEmpty()) statusBar()->showMessage(status);
    return dialog.success();
}

void CMainFrame::OnProgramRead() {
    if (!MayDropDocument()) return;
    CommitAllViews();
    if (!RunTransfer(ProgramReadRanges())) return;
    RecomputeBandTables(document_.Bands(), image());
    ReloadAllViews();
    OpenChannelViewIfNoneOpen();
    SaveReadBackup();
    MarkUnmodified();
}

void CMainFrame::OnProgramWrite() {
    CommitAllViews();
    RunTransfer(ProgramWriteRanges(extended_range_), [this] { return ReadBackupFirst(); });
}

void CMainFrame::OnSettingPort() {
    app_.port_path = ChoosePort(this, app_.port_path, app_.settings);
    ShowPortPath();
}

void CMainFrame::ShowPortPath() {
    // The COM name and, beside it, the device it opens here.
    std::string device = MakePortResolver(app_.settings, app_.port_path)(app_.port_path);
    com_pane_->setText(QString::fromStdString(PortLabel(app_.port_path, device)));
    com_pane_->setToolTip(QString::fromStdString(device.empty() ? "no device" : device));
}

void CMainFrame::OnServiceUnlock() {
    CPasswordDlg dialog(CPasswordDlg::Kind::Service, MatchesServiceCode, this);
    if (dialog.exec() == QDialog::Accepted) UnlockService(dialog.typed());
}

bool CMainFrame::UnlockService(const std::string& typed) {
    if (!MatchesServiceCode(typed)) return false;
    extended_range_ = true;
    QMenu* edit = editMenu(child_menu_shown_);
    const auto items = edit->actions();
    if (items.isEmpty() || items.back()->data().toInt() != ID_EDIT_CUSTOM_DATA) {
        QAction* custom = action(ID_EDIT_CUSTOM_DATA);
        if (!custom) {
            custom = new QAction("Custom Data", this);
            custom->setData(int{ID_EDIT_CUSTOM_DATA});
            connect(custom, &QAction::triggered, this, &CMainFrame::OnCustomData);
            actions_[ID_EDIT_CUSTOM_DATA] = custom;
        }
        edit->addAction(custom);
    }
    return true;
}

void CMainFrame::OnCustomData() {
    CCustomDataDlg dialog(
        image(), [this](const TransferRangeTable& t) { return RunTransfer(t); }, this);
    dialog.exec();
}

void CMainFrame::OnAbout() {
    CAboutBox box(QString::fromStdString(app_.company), QString::fromStdString(app_.Version()),
                  this);
    box.exec();
}

void CMainFrame::OnHelp() {
    // The guide ships beside the program and is shown here, without a browser.
    const auto& guide = app_.help_guide;
    if (!help_) {
        help_ = new QTextBrowser(this);
        help_->setWindowFlag(Qt::Window);
        help_->setObjectName("Help");
        help_->setWindowTitle("Help");
        help_->setOpenExternalLinks(true);
        // As large as reads well, never larger than the screen the frame is on.
        QSize size(760, 700);
        if (const QScreen* where = screen())
            size = size.boundedTo(where->availableGeometry().size() * 9 / 10);
        help_->resize(size);
        if (const QScreen* where = screen()) {
            QRect placed(QPoint(0, 0), size);
            placed.moveCenter(where->availableGeometry().center());
            help_->move(placed.topLeft());
        }
    }
    // The topic of the active editor window, as its help context ("#context-151").
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(guide.string()));
    if (auto* child = qobject_cast<CChildFrame*>(mdi_->activeSubWindow())) {
        if (const int context = child->view()->HelpContext(); context != 0)
            url.setFragment(QString("context-%1").arg(context));
    }
    help_->setSource(url);
    help_->show();
    help_->raise();
}

// ---------------------------------------------------------------------------------------------
// Printing

QPrinter& CMainFrame::printer() {
    if (!printer_) printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return *printer_;
}

QString CMainFrame::DocumentName() const {
    const std::string name = document_.HasCurrentFile()
                                 ? document_.CurrentFile().filename().string()
                                 : app_.default_file_name;
    return PrintDocumentName(QString::fromStdString(name));
}

PrintList CMainFrame::BuildPrintList() {
    return ChannelPrintList(image(), document_.Bands());
}

int CMainFrame::PrintTo(QPrinter& p) {
    CommitAllViews();
    return PrintPages(p, DocumentName(), BuildPrintList());
}

void CMainFrame::OnFilePrint() {
    if (!Hooks().print_dialog(this, printer())) return;
    PrintTo(printer());
}

void CMainFrame::OnFilePrintPreview() {
    CommitAllViews();
    const PrintList list = BuildPrintList();
    const QString name = DocumentName();
    QPrintPreviewDialog preview(&printer());
    preview.setWindowTitle("Preview");
    connect(&preview, &QPrintPreviewDialog::paintRequested, this,
            [&](QPrinter* p) { PrintPages(*p, name, list); });
    // The preview takes the main window's place while it is open.
    hide();
    preview.setWindowState(Qt::WindowMaximized);
    preview.exec();
    show();
}

void CMainFrame::OnFilePrintSetup() {
    QPageSetupDialog dialog(&printer(), this);
    dialog.exec();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // Unsaved edits are offered for saving first; Cancel keeps the program open.
    if (MayDropDocument())
        event->accept();
    else
        event->ignore();
}

}  // namespace vm::gui
