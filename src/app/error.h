#pragma once
// The one failure value of the core. A code (the 32-bit values of
// app/status.h, which the history, the JSON output and the exit codes show)
// and what is known of the circumstances: lower-case clauses without a full
// stop, the innermost last. Each layer that knows more puts its clause in
// front as the failure passes up:
//   "reading the flash at address 0x01880 (chunk 18 of 4096): the device
//    refused a request"
// The sentence a user reads (capital, full stop) is made once, at the edge:
// the terminal, the message box, the system log.

#include <string>
#include <string_view>

#include "app/status.h"

namespace sovra {

class Error {
  public:
    // No failure.
    Error() = default;
    // A failure (or, for a success code, none). Without `what` it says the
    // code's own text.
    explicit Error(Status code, std::string what = {});

    bool Failed() const { return sovra::Failed(code_); }
    Status Code() const { return code_; }
    // The circumstances as one clause: lower-case start, no full stop.
    const std::string& What() const { return what_; }

    // Puts `clause` in front: "clause: what".
    Error& Within(std::string_view clause) &;
    Error&& Within(std::string_view clause) &&;

    // What() as a sentence: its first letter a capital, a full stop at the
    // end unless it ends with one already.
    std::string Sentence() const;

  private:
    Status code_ = S_OK;
    std::string what_;
};

// `text` with a capital first letter and a closing full stop (kept when it
// has one).
std::string AsSentence(std::string_view text);

// `text` as a clause: the first letter lower-case (unless the word is all
// capitals, a name like "USB"), a closing full stop dropped.
std::string AsClause(std::string_view text);

}  // namespace sovra
