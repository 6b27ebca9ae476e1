// What the editor's window tests share: an application folder of their own, a frame over an
// image of their own, answers for the modal windows, and the simulated radio.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "app/editors/channels/program_view.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/editor_windows.h"
#include "app/gui/grid_widget.h"
#include "app/gui/main_frame.h"
#include "app/gui/ui_hooks.h"
#include "app/image/band_tables.h"
#include "app/shell/app_state.h"
#include "app/shell/data_file.h"
#include "tests/support/files.h"

namespace vm::gui::testing {

using vm::testing::BuildAppFolder;

// An application folder: "Default.dat" from the build, a "Program.ini" of the test's own.
class AppFolder {
public:
    explicit AppFolder(const QByteArray& ini =
                           "[Setup]\r\nCOM=COM1\r\nModel=VM6142\r\nCompany=ACME Radio\r\n"
                           "[About]\r\nVersion=2.1\r\n") {
        std::filesystem::copy_file(BuildAppFolder() / "Default.dat", path() / "Default.dat");
        QFile f(QString::fromStdString((path() / "Program.ini").string()));
        if (f.open(QIODevice::WriteOnly)) f.write(ini);
    }
    std::filesystem::path path() const { return dir_.path(); }
    QString file(const QString& name) const {
        return QString::fromStdString((dir_ / name.toStdString()).string());
    }

private:
    vm::testing::TempDir dir_;
};

// A main frame over its own image, header, band tables and start-up values.
struct FrameUnderTest {
    AppFolder folder;
    shell::AppState app;
    std::unique_ptr<RadioImage> image = std::make_unique<RadioImage>();
    std::unique_ptr<FileHeader> header = std::make_unique<FileHeader>();
    BandTables bands = BandTables::Initial();
    std::unique_ptr<shell::Document> document;
    std::unique_ptr<CMainFrame> frame;

    FrameUnderTest() {
        shell::StartUp(app, folder.path());
        document = std::make_unique<shell::Document>(*image, *header, bands);
        frame = std::make_unique<CMainFrame>(app, *document);
        frame->Initialise();
        frame->show();
    }
};

// The frame's own title: the framework adds " - [child]" while a child window is maximised.
inline QString OwnTitle(const QWidget& frame) {
    const QString title = frame.windowTitle();
    const qsizetype child = title.indexOf(" - [");
    return child < 0 ? title : title.left(child);
}

// The channel table's window: the generic single-form window over the table.
struct ChannelTableWindow {
    FormViewWindow* window;
    GridWidget* grid() const { return window->grid(CProgramView::kIdGrid); }
    QWidget* control(int id) const { return window->control(id); }
    CProgramView& view() const { return dynamic_cast<CProgramView&>(window->base_view()); }
    int logicalDpiX() const { return window->logicalDpiX(); }
    int logicalDpiY() const { return window->logicalDpiY(); }
};

inline std::optional<ChannelTableWindow> ChannelWindow(CMainFrame& frame) {
    CChildFrame* child = frame.childFrame(ID_EDIT_CHANNEL);
    auto* w = child ? qobject_cast<FormViewWindow*>(child->view()) : nullptr;
    if (!w) return std::nullopt;
    return ChannelTableWindow{w};
}

// Runs `act` on the next modal window that comes up (polled from the event loop).
inline void WhenModal(std::function<void(QWidget*)> act, QWidget* not_this = nullptr) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act, not_this] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w == not_this) return;
        timer->stop();
        timer->deleteLater();
        act(w);
    });
    timer->start();
}

// Message boxes and file choices recorded and answered by the test.
struct Answers {
    QStringList messages;
    QStringList details;  // each box's informative text
    QStringList captions;
    QList<FileChoice> choices;
    QString file;  // the chooser's answer
    MessageAnswer answer = MessageAnswer::Yes;
    // The answer to "Save changes to NAME?".
    MessageAnswer save_answer = MessageAnswer::Discard;

    Answers() {
        Hooks().message_box = [this](QWidget*, const QString& text, const QString& caption,
                                     MessageButtons buttons, MessageIcon, const QString& detail) {
            messages << text;
            details << detail;
            captions << caption;
            if (buttons == MessageButtons::SaveDiscardCancel) return save_answer;
            return buttons == MessageButtons::YesNo ? answer : MessageAnswer::Ok;
        };
        Hooks().choose_file = [this](QWidget*, const FileChoice& c) {
            choices << c;
            return file;
        };
    }
    ~Answers() { ResetHooks(); }
    Answers(const Answers&) = delete;
    Answers& operator=(const Answers&) = delete;
};

}  // namespace vm::gui::testing
