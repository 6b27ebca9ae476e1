// File > New, Open, Save and Save As in the main window, and the recent files in the File menu.
#include <QAction>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>

#include "app/editors/channels/program_view.h"
#include "app/gui/child_frame.h"
#include "app/gui/commands.h"
#include "app/gui/program_app.h"
#include "app/image/channel_record.h"
#include "tests/app/gui/gui_fixture.h"
#include "tests/app/gui/window_test_main.h"

using namespace vm;
using namespace vm::gui;
using namespace vm::gui::testing;

class FileCommandsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetHooks(); }

    // ---- file commands
    void fileNewAsksAndResets() {
        FrameUnderTest t;
        Answers answers;
        const RadioImage original = *t.image;
        (*t.image)[0x0200] ^= 0xFF;
        answers.answer = MessageAnswer::No;
        t.frame->Execute(ID_FILE_NEW);
        QCOMPARE(answers.messages, QStringList({"Clear all data! \ncontinue?"}));
        QCOMPARE(answers.captions, QStringList({"Warnning"}));
        QVERIFY((*t.image)[0x0200] != original[0x0200]);
        answers.answer = MessageAnswer::Yes;
        t.frame->Execute(ID_FILE_NEW);
        QCOMPARE((*t.image)[0x0200], original[0x0200]);
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142"));
    }

    void saveAsOpenAndSave() {
        FrameUnderTest t;
        Answers answers;
        // Without a current file, Save behaves as Save As.
        const QString path = t.folder.file("DATA/mine.dat");
        answers.file = path;
        (*t.image)[kModelInfo] = 'Z';
        (*t.image)[kCommitByte] = 0xFF;
        t.frame->Execute(ID_FILE_SAVE);
        QCOMPARE(answers.choices.size(), 1);
        QVERIFY(answers.choices[0].save);
        QCOMPARE(answers.choices[0].file_name, QString("VM6142.dat"));
        QCOMPARE(answers.choices[0].folder, QString::fromStdString(t.app.data_folder.string()));
        QCOMPARE(answers.choices[0].filter, QString("Param Files (*.dat)"));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray bytes = saved.readAll();
        saved.close();
        QCOMPARE(bytes.size(), qsizetype(kDataFileSize));
        QCOMPARE(bytes.left(16), QByteArray("VM6142\xFF\xFF\x56\x02\x00\x07\xFF\xFF\xFF\xFF", 16));
        QCOMPARE(bytes[qsizetype(kHeaderSize + kModelInfo)], 'Z');
        // The commit before saving cleared bits 0-1 of 0xCC25.
        QCOMPARE(static_cast<std::uint8_t>(bytes[qsizetype(kHeaderSize + kCommitByte)]),
                 std::uint8_t{0xFC});
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142 [ %1 ]").arg(path));

        // Save with a current file asks nothing.
        (*t.image)[kModelInfo] = 'Y';
        t.frame->Execute(ID_FILE_SAVE);
        QCOMPARE(answers.choices.size(), 1);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll()[qsizetype(kHeaderSize + kModelInfo)], 'Y');
        saved.close();

        // Open: a file that is not a data file changes nothing.
        QFile bad(t.folder.file("DATA/bad.dat"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(QByteArray(int(kDataFileSize), 'x'));
        bad.close();
        answers.file = bad.fileName();
        t.frame->Execute(ID_FILE_OPEN);
        QCOMPARE(answers.messages, QStringList({"File does not match"}));
        QCOMPARE(answers.captions.back(), AppTitle());
        QCOMPARE((*t.image)[kModelInfo], std::uint8_t('Y'));

        // Open: the saved file comes back, and the open views show it.
        (*t.image)[kModelInfo] = 'Q';
        InitChannelRecord(*t.image, 7, 14550000, t.bands);  // an unsaved edit, overwritten
        t.frame->ReloadAllViews();
        answers.file = path;
        t.frame->Execute(ID_FILE_OPEN);
        QCOMPARE((*t.image)[kModelInfo], std::uint8_t('Y'));
        QCOMPARE(ChannelWindow(*t.frame)->view().grid().Text(7, CProgramView::kColRx),
                 std::string());
        QCOMPARE(answers.choices.back().save, false);
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142 [ %1 ]").arg(path));

        // Open with no editor window open opens the channel table.
        t.frame->mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        t.frame->Execute(ID_FILE_OPEN);
        QVERIFY(t.frame->childFrame(ID_EDIT_CHANNEL));

        // A chooser cancelled does nothing.
        answers.file.clear();
        const int before = int(answers.messages.size());
        t.frame->Execute(ID_FILE_OPEN);
        t.frame->Execute(ID_FILE_SAVE_AS);
        QCOMPARE(int(answers.messages.size()), before);
    }

    void recentFilesInTheFileMenu() {
        std::vector<QString> paths;
        {
            FrameUnderTest t;
            Answers answers;
            for (const char* name : {"a.dat", "b.dat", "c.dat", "d.dat", "e.dat"}) {
                paths.push_back(t.folder.file(QString("DATA/") + name));
                answers.file = paths.back();
                t.frame->Execute(ID_FILE_SAVE_AS);
            }
            answers.file = paths[1];
            t.frame->Execute(ID_FILE_OPEN);  // an older one comes to the top
            auto recent = [&] {
                QStringList items;
                QMenu* file = t.frame->menu(false, 0);
                emit file->aboutToShow();
                for (QAction* a : file->actions())
                    if (a->property("recent").toInt() >= 0 && a->property("recent").isValid())
                        items << a->text();
                return items;
            };
            QCOMPARE(recent(), QStringList({"&1 b.dat", "&2 e.dat", "&3 d.dat", "&4 c.dat"}));
            // Kept in the settings file for the next start.
            QFile ini(t.folder.file("Program.ini"));
            QVERIFY(ini.open(QIODevice::ReadOnly));
            QVERIFY(ini.readAll().contains("[Recent File List]"));

            // A file that is gone: removed from the list, with a message naming it.
            QVERIFY(QFile::remove(paths[3]));
            t.frame->OnOpenRecent(2);
            QCOMPARE(answers.messages, QStringList({"No such file or directory"}));
            QVERIFY(answers.details.back().contains(paths[3]));
            QCOMPARE(recent(), QStringList({"&1 b.dat", "&2 e.dat", "&3 c.dat"}));
            // Choosing one opens it.
            t.frame->OnOpenRecent(2);
            QCOMPARE(QString::fromStdString(t.document->CurrentFile().string()), paths[2]);
            QCOMPARE(recent(), QStringList({"&1 c.dat", "&2 b.dat", "&3 e.dat"}));

            // The next start lists them from the settings file.
            shell::AppState again;
            shell::StartUp(again, t.folder.path());
            RadioImage image{};
            FileHeader header{};
            BandTables bands = BandTables::Initial();
            shell::Document doc(image, header, bands);
            CMainFrame second(again, doc);
            QCOMPARE(second.recentFiles().Files().size(), std::size_t{3});
            QCOMPARE(QString::fromStdString(second.recentFiles().Files()[0].string()), paths[2]);
        }
    }

    void newThenSaveAsIsWhatEveryLaterSaveGives() {
        FrameUnderTest t;
        Answers answers;
        t.frame->Execute(ID_FILE_NEW);
        answers.file = t.folder.file("DATA/new.dat");
        t.frame->Execute(ID_FILE_SAVE_AS);
        auto bytes = [&] {
            QFile f(answers.file);
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        };
        const QByteArray created = bytes();
        QCOMPARE(created.size(), qsizetype(kDataFileSize));
        // Saved again, also with every editor window open, and after opening it again.
        t.frame->Execute(ID_FILE_SAVE);
        QVERIFY(bytes() == created);
        for (const EditorEntry& e : Editors())
            if (e.built() && e.kind != WindowKind::ModalDialog && e.command != 0)
                t.frame->OpenEditor(e.command);
        t.frame->Execute(ID_FILE_SAVE);
        QVERIFY(bytes() == created);
        t.frame->mdiArea()->closeAllSubWindows();
        QCoreApplication::processEvents();
        t.frame->Execute(ID_FILE_OPEN);
        t.frame->Execute(ID_FILE_SAVE);
        QVERIFY(bytes() == created);
        QCOMPARE(answers.messages, QStringList({"Clear all data! \ncontinue?"}));
    }

    void saveAsFailureKeepsCurrentFile() {
        FrameUnderTest t;
        Answers answers;
        answers.file = t.folder.file("no-such-folder/x.dat");
        t.frame->Execute(ID_FILE_SAVE_AS);
        QCOMPARE(answers.messages.size(), 1);
        QVERIFY(!answers.messages[0].isEmpty());
        QCOMPARE(OwnTitle(*t.frame), QString("VM6142"));
        QVERIFY(!t.document->HasCurrentFile());
    }
};

VM_WINDOW_TEST(FileCommandsWindowTest);

#include "file_commands_window_test.moc"
