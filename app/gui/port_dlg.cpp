#include "app/gui/port_dlg.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/link/serial_port.h"

namespace vm::gui {

CPortDlg::CPortDlg(const PortProbe& probe, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Port");
    setObjectName("CPortDlg");
    auto* group = new QGroupBox("Port", this);
    auto* grid = new QGridLayout(group);
    auto* exclusive = new QButtonGroup(this);
    for (int n = 1; n <= kPortCount; ++n) {
        auto* b = new QRadioButton(QString("COM%1").arg(n), group);
        b->setObjectName(QString("COM%1").arg(n));
        b->setEnabled(probe.available[static_cast<std::size_t>(n - 1)]);
        // The device behind the name, and why a greyed port cannot be chosen.
        const std::string& device = probe.devices[static_cast<std::size_t>(n - 1)];
        b->setToolTip(device.empty() ? QString("No serial device")
                      : b->isEnabled()
                          ? QString::fromStdString(device)
                          : QString::fromStdString(device) + " (absent, in use or not permitted)");
        b->setChecked(n == probe.checked);
        exclusive->addButton(b, n);
        grid->addWidget(b, (n - 1) % 8, (n - 1) / 8);
        buttons_[static_cast<std::size_t>(n - 1)] = b;
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(buttons);
}

int CPortDlg::checked() const {
    for (int n = 1; n <= kPortCount; ++n)
        if (buttons_[static_cast<std::size_t>(n - 1)]->isChecked()) return n;
    return 0;
}

PortResolver MakePortResolver(const shell::SettingsFile& settings, const std::string& current) {
    // Ports a program publishes (the cable's host) come first.
    const ExplicitPorts explicit_ports = WithPublishedPorts(ReadExplicitPorts(
        [&settings](const std::string& key) { return settings.Read(kSectionPorts, key, ""); },
        ComNumberOf(current)));
    auto devices = ListSerialDevices();
    return [explicit_ports, devices](const std::string& name) {
        return ResolvePort(name, explicit_ports, devices);
    };
}

std::string ChoosePort(QWidget* parent, const std::string& current,
                       const shell::SettingsFile& settings) {
    const PortResolver resolve = MakePortResolver(settings, current);
    const PortProbe probe = ProbePorts(current, resolve, [](const std::string& device) {
        return !device.empty() && CanOpenPort(device);
    });
    CPortDlg dialog(probe, parent);
    if (dialog.exec() != QDialog::Accepted) return current;
    const int n = dialog.checked();
    return n == 0 ? current : PortName(n);
}

}  // namespace vm::gui
