// Setting > Port (resource 144): COM1 to COM16, the ports that cannot be opened now disabled,
// the current one checked.
#pragma once

#include <QDialog>
#include <array>
#include <string>

#include "app/link/port_names.h"
#include "app/shell/settings_file.h"

class QRadioButton;

namespace vm::gui {

class CPortDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPortDlg(const PortProbe& probe, QWidget* parent = nullptr);
    QRadioButton* button(int n) const { return buttons_.at(static_cast<std::size_t>(n - 1)); }
    // The checked port number, 0 when none is checked.
    int checked() const;

private:
    std::array<QRadioButton*, kPortCount> buttons_{};
};

// The devices behind the port names on this machine: the "[Ports]" entries of the settings
// file first (COM1..COM16, and the current port's number when it is above 16), then the
// serial devices present.
PortResolver MakePortResolver(const shell::SettingsFile& settings, const std::string& current = {});

// Runs the dialog over the current port path; returns the new path (unchanged on Cancel or
// when no port is checked).
std::string ChoosePort(QWidget* parent, const std::string& current,
                       const shell::SettingsFile& settings);

}  // namespace vm::gui
