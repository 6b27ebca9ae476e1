#include "tests/app/gui/window_test_main.h"

#include <QApplication>
#include <QTest>
#include <vector>

namespace vm::gui::testing {

namespace {
std::vector<MakeWindowTest>& Registered() {
    static std::vector<MakeWindowTest> tests;
    return tests;
}
}  // namespace

bool RegisterWindowTest(MakeWindowTest make) {
    Registered().push_back(make);
    return true;
}

}  // namespace vm::gui::testing

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);  // as Qt Test's own main does
    int failures = 0;
    for (const vm::gui::testing::MakeWindowTest make : vm::gui::testing::Registered()) {
        const std::unique_ptr<QObject> test = make();
        failures += QTest::qExec(test.get(), argc, argv);
    }
    return failures;
}
