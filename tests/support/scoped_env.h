#pragma once
// A process setting changed for one scope and put back after it: an
// environment variable, or the working folder.

#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace sovra::testing {

// Sets `name` to `value`, or unsets it when there is no value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        Set(value);
    }
    ~ScopedEnv() { Set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void Set(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

    const char* name_;
    std::optional<std::string> old_;
};

// Keeps the working folder, moves to `folder` when one is given, and goes
// back to the kept one at the end.
class ScopedWorkingFolder {
  public:
    explicit ScopedWorkingFolder(const std::string& folder = {}) {
        if (::getcwd(saved_, sizeof saved_) == nullptr ||
            (!folder.empty() && ::chdir(folder.c_str()) != 0)) {
            throw std::runtime_error("cannot change the working folder to " + folder);
        }
    }
    ~ScopedWorkingFolder() { (void)!::chdir(saved_); }
    ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
    ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;

  private:
    char saved_[4096] = {};
};

}  // namespace sovra::testing
