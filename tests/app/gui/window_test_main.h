// The one main of the window-test programs. A program registers its Qt Test classes with
// VM_WINDOW_TEST(Class) at namespace scope; the main makes the application (on the offscreen
// platform unless QT_QPA_PLATFORM names another) and runs every registered class in the order
// of registration, returning the number of failed test functions.
#pragma once

#include <QObject>
#include <memory>

namespace vm::gui::testing {

using MakeWindowTest = std::unique_ptr<QObject> (*)();

// Adds a class to the program's run. Returns true, so that a constant can hold the call.
bool RegisterWindowTest(MakeWindowTest make);

}  // namespace vm::gui::testing

#define VM_WINDOW_TEST_JOIN2(a, b) a##b
#define VM_WINDOW_TEST_JOIN(a, b) VM_WINDOW_TEST_JOIN2(a, b)
#define VM_WINDOW_TEST(Class)                                                       \
    [[maybe_unused]] static const bool VM_WINDOW_TEST_JOIN(kWindowTest, __LINE__) = \
        ::vm::gui::testing::RegisterWindowTest(                                     \
            []() -> std::unique_ptr<QObject> { return std::make_unique<Class>(); })
