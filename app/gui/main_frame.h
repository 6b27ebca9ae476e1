// The main frame: a multiple-document window with the navigation tree in the "Tree Bar", the
// two menus, the toolbar and the status bar; the file, transfer, print and service commands;
// and the two operations that keep the editor views and the image in step.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/editors/catalogue/editor_session.h"
#include "app/editors/catalogue/modified_state.h"
#include "app/gui/printing.h"
#include "app/link/clone_worker.h"
#include "app/shell/app_state.h"
#include "app/shell/data_file.h"
#include "app/shell/recent_files.h"

class QAction;
class QDockWidget;
class QLabel;
class QMdiArea;
class QMenu;
class QPrinter;
class QTextBrowser;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;

namespace vm::gui {

class CChildFrame;
class EditorWindow;
class KeyLockPanes;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame(shell::AppState& app, shell::Document& document, QWidget* parent = nullptr);
    ~CMainFrame() override;

    shell::AppState& app() { return app_; }
    shell::Document& document() { return document_; }
    RadioImage& image() { return document_.Image(); }

    // The frame's creation steps after construction: reset from "Default.dat", open the
    // channel table, show the port.
    void Initialise();

    // ---- the two synchronisation points
    void CommitAllViews();
    void ReloadAllViews();

    // ---- commands
    bool Execute(int command);  // false when the command is unknown or disabled
    // File > Import Channels... (true) and Export Channels... (false).
    void OnChannelList(bool import);
    QAction* action(int command) const;
    QMenu* editMenu(bool child_menu) const;
    QMenu* menu(bool child_menu, int index) const;
    bool childMenuShown() const { return child_menu_shown_; }
    QTreeWidget* tree() const { return tree_; }
    QDockWidget* treeBar() const { return tree_bar_; }
    QMdiArea* mdiArea() const { return mdi_; }
    QToolBar* toolBar() const { return toolbar_; }
    QLabel* comPane() const { return com_pane_; }
    QLabel* freqPane() const { return freq_pane_; }
    QLabel* messagePane() const { return message_pane_; }  // "Ready" while no message shows
    KeyLockPanes* lockPanes() const { return lock_panes_; }
    CChildFrame* childFrame(int command) const;

    // Opens or activates the editor of a command (a modal dialog runs to its end).
    void OpenEditor(int command);
    // Runs a modal dialog of the catalogue on a record (0: its own choice): the channel table
    // is stored before and reloaded after, as the entry says.
    void RunModalEditor(const EditorEntry& entry, int record = 0, const std::string& text = {});
    // What the editors are opened over: the document, the frame's message boxes and help.
    EditorContext MakeEditorContext();
    // The open child windows' views, in the order they opened.
    std::vector<OpenView> OpenViews() const;
    void OnTreeClicked(QTreeWidgetItem* item);

    // File commands.
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    void OnFileSaveAs();
    // File > Save (Save As without a current file); false when nothing was saved.
    bool SaveDocument();
    // Opens a data file (File > Open's steps after the choice); false, with the message shown,
    // when it cannot be opened.
    bool OpenFile(const std::filesystem::path& file);
    // The File menu's recent files: entry `index` opened; a file that is gone is removed from
    // the list with a message.
    void OnOpenRecent(std::size_t index);
    const shell::RecentFileList& recentFiles() const { return recent_; }
    void UpdateTitle();

    // Unsaved edits (main_frame_safety.cpp): whether the document differs from what was last
    // opened, saved or read, with the open views committed; the prompt "Save changes to
    // NAME?" before the document is dropped (New, Open, Read, Exit), true when it may be.
    bool IsModified();
    void MarkUnmodified();
    bool MayDropDocument();
    // The title's asterisk follows the document (a timer asks while no modal window is open).
    void RefreshModified();
    // Backups: File > Open Backup..., the backup after a successful Read, File > Compare With...
    void OnFileOpenBackup();
    void SaveReadBackup();
    void OnFileCompareWith();
    // The lines Compare With shows for the open document against `file` (empty when equal);
    // nullopt with the message shown when the file does not open.
    std::optional<QStringList> CompareWithFile(const QString& file);
    // The frame's own title (the model name, or model name + " [ " + path + " ]"); the window
    // shows it with the maximised child's title added: "own - [child]".
    QString ownTitle() const { return own_title_; }

    // Transfers.
    bool RunTransfer(const TransferRangeTable& table, std::function<bool()> read_backup = {});
    // The Write dialog's "Read a backup first": the radio read aside and saved as a backup
    // (main_frame_safety.cpp); false, with a message, when either failed.
    bool ReadBackupFirst();
    // The device of the chosen port.
    std::string PortDevice() const;
    void OnProgramRead();
    void OnProgramWrite();
    // The worker's waits and port (tests shrink them).
    CloneWorkerOptions& linkOptions() { return link_options_; }

    void OnSettingPort();
    void ShowPortPath();

    // Service unlock (Ctrl+F11) and its effects.
    void OnServiceUnlock();
    bool UnlockService(const std::string& typed);  // the dialog's OK
    bool extendedRange() const { return extended_range_; }
    void OnCustomData();

    // Printing.
    PrintList BuildPrintList();
    QString DocumentName() const;
    int PrintTo(QPrinter& printer);
    void OnFilePrint();
    void OnFilePrintPreview();
    void OnFilePrintSetup();
    QPrinter& printer();

    void OnAbout();
    void OnHelp();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreateTree();
    void ShowMenuVariant(bool child);
    void OnSubWindowActivated();
    void ApplyTitle();
    bool EditorBuilt(int command) const;
    void OpenChannelViewIfNoneOpen();
    bool SaveAsChosenFile();  // Save As from its dialog on (the views already committed)
    void CreateSafetyActions();
    void RememberFile(const std::filesystem::path& file);  // into the recent-file list
    void FillRecentFiles(QMenu& file_menu);

    shell::AppState& app_;
    shell::Document& document_;
    CloneWorkerOptions link_options_;  // its timing stretched as the environment asks
    shell::RecentFileList recent_;
    bool extended_range_ = false;
    bool freq_range_unlocked_ = false;  // the frequency ranges' access code, for the run
    std::map<int, QAction*> actions_;
    std::map<int, QAction*> child_actions_;  // child menu items spelt otherwise ("Scan Channel")
    std::vector<QMenu*> frame_menus_;
    std::vector<QMenu*> child_menus_;
    bool child_menu_shown_ = false;
    QMdiArea* mdi_ = nullptr;
    QDockWidget* tree_bar_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QLabel* com_pane_ = nullptr;
    QLabel* freq_pane_ = nullptr;
    QLabel* message_pane_ = nullptr;
    KeyLockPanes* lock_panes_ = nullptr;
    QString own_title_;
    ModifiedState modified_state_;
    bool modified_shown_ = false;  // the title's asterisk
    std::unique_ptr<QPrinter> printer_;
    QTextBrowser* help_ = nullptr;

public:
    QTextBrowser* helpWindow() const { return help_; }
};

}  // namespace vm::gui
