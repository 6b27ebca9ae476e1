// Help > About: the company, the version and the line naming the model, from "Program.ini".
#pragma once

#include <QDialog>
#include <QString>

class QLabel;

namespace vm::gui {

class CAboutBox : public QDialog {
    Q_OBJECT
public:
    CAboutBox(const QString& company, const QString& version, QWidget* parent = nullptr);
    QString LineText(int id) const;  // 1066, 1262 or 1068

private:
    QLabel* line1066_;
    QLabel* line1262_;
    QLabel* line1068_;
};

}  // namespace vm::gui
