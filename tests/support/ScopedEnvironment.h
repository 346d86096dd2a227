#pragma once
// Sets environment variables for one test and puts the old values back.

#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace veltrane::testing {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& name, const std::string& value) {
        remember(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        ::unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        if (saved_.count(name)) return;
        const char* old = ::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

// One variable set (or, given nullptr, unset) for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const std::string& name, const char* value) {
        if (value) environment_.set(name, value);
        else environment_.unset(name);
    }

private:
    ScopedEnvironment environment_;
};

}  // namespace veltrane::testing
