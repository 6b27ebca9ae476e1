// The fixed message texts of the file commands and the system error text rule.
#pragma once

#include <string>
#include <string_view>

namespace vm::shell {

inline constexpr std::string_view kMsgFileDoesNotMatch = "File does not match";
inline constexpr std::string_view kMsgErrorNotFound = "Sorry, error not find.";
inline constexpr std::string_view kMsgClearAllData = "Clear all data! \ncontinue?";
inline constexpr std::string_view kCaptionWarning = "Warnning";

// The system's text for an error number (strerror); "Sorry, error not find." when there is no
// error number (0) or the system has no text for it.
std::string SystemErrorText(int error_number);

// The outcome of a file operation: ok, or the error number and the exact text to show.
struct IoResult {
    bool ok = true;
    int error_number = 0;
    std::string message;

    static IoResult Success() { return {}; }
    static IoResult Failure(int error_number) {
        return {false, error_number, SystemErrorText(error_number)};
    }
    static IoResult Failure(int error_number, std::string message) {
        return {false, error_number, std::move(message)};
    }
    explicit operator bool() const { return ok; }
};

}  // namespace vm::shell
