// An environment variable set for the length of a scope, and put back as it was after.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace vm::testing {

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* was = std::getenv(name)) was_ = was;
        Set(value);
    }
    ~ScopedEnvironment() { Set(was_ ? was_->c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // nullptr: unset.
    void Set(const char* value) const {
        if (value)
            ::setenv(name_.c_str(), value, 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> was_;
};

}  // namespace vm::testing
