// The two password prompts: the protected radio's (resource 181, any characters) and the
// service unlock's (resource 185, letters and digits only). Both show "Password", take at most
// eight masked characters, and close with OK only when the text matches their code.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <string_view>

class QLineEdit;

namespace vm::gui {

class CPasswordDlg : public QDialog {
    Q_OBJECT
public:
    enum class Kind { Radio, Service };
    // `matches` compares the typed text with the code (ignoring case).
    CPasswordDlg(Kind kind, std::function<bool(std::string_view)> matches,
                 QWidget* parent = nullptr);

    QLineEdit* edit() const { return edit_; }
    std::string typed() const;
    // OK was pressed with a text that is not the code (the dialog closed as cancelled).
    bool refused() const { return refused_; }
    int resource() const { return kind_ == Kind::Radio ? 181 : 185; }

    void accept() override;  // OK: accepted on a match, otherwise closed as cancelled

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool refused_ = false;
    Kind kind_;
    std::function<bool(std::string_view)> matches_;
    QLineEdit* edit_;
};

// The service access code and its comparison (ignoring case).
inline constexpr std::string_view kServiceCode = "5731C4";
bool MatchesServiceCode(std::string_view typed);

}  // namespace vm::gui
