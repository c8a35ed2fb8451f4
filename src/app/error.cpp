#include "app/error.h"

#include <cctype>

namespace sovra {
namespace {

bool IsLower(char c) {
    return std::islower(static_cast<unsigned char>(c)) != 0;
}
bool IsUpper(char c) {
    return std::isupper(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

Error::Error(Status code, std::string what) : code_(code), what_(std::move(what)) {
    if (what_.empty() && Failed()) {
        what_ = AsClause(StatusText(code_));
    }
}

Error& Error::Within(std::string_view clause) & {
    what_ = std::string(clause) + (what_.empty() ? "" : ": " + what_);
    return *this;
}

Error&& Error::Within(std::string_view clause) && {
    return std::move(Within(clause));
}

std::string Error::Sentence() const {
    return AsSentence(what_);
}

std::string AsSentence(std::string_view text) {
    std::string s(text);
    if (s.empty()) {
        return s;
    }
    if (IsLower(s.front())) {
        s.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(s.front())));
    }
    if (s.back() != '.' && s.back() != '?' && s.back() != '!') {
        s += '.';
    }
    return s;
}

std::string AsClause(std::string_view text) {
    std::string s(text);
    if (!s.empty() && s.back() == '.') {
        s.pop_back();
    }
    // "USB transfer ..." keeps its capitals; "The device ..." does not.
    if (s.size() > 1 && IsUpper(s[0]) && !IsUpper(s[1])) {
        s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
    }
    return s;
}

}  // namespace sovra
