#pragma once
// Subcommands of sovra-flash. Each Add* function registers one subcommand;
// when the user chooses it, its callback stores the work to run in `run`,
// which main() calls after parsing. A runner returns the exit status:
// 0 success, 1 an input or a device refused, 2 a usage error.

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "app/error.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace sovra::cli {

using Runner = std::function<int()>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

void AddInspect(CLI::App& app, Runner& run);
void AddMerge(CLI::App& app, Runner& run);
void AddSampleImage(CLI::App& app, Runner& run);
void AddFirmware(CLI::App& app, Runner& run);
void AddList(CLI::App& app, Runner& run);
void AddDump(CLI::App& app, Runner& run);
void AddUpdate(CLI::App& app, Runner& run);
void AddRestore(CLI::App& app, Runner& run);
void AddUdevRules(CLI::App& app, Runner& run);
void AddHistory(CLI::App& app, Runner& run);
void AddWatch(CLI::App& app, Runner& run);
// Walks `app` when it runs: add it after every other subcommand.
void AddCompletion(CLI::App& app, Runner& run);

// What the subcommands share in registering themselves and in writing.

// Once `cmd` is chosen and its options are parsed, `run` becomes `work`.
void RunWhenChosen(CLI::App* cmd, Runner& run, Runner work);

// A text option that sets `into` when given (an empty text too).
CLI::Option* AddTextOption(CLI::App* cmd, const std::string& name, std::optional<std::string>& into,
                           const std::string& description);

// --catalogue FILE (catalogue_option.h), setting `into` when given.
CLI::Option* AddCatalogue(CLI::App* cmd, std::optional<std::string>& into);

// "sovra-flash: TEXT" on `err`, the text made safe for a terminal; returns
// kExitRefused.
int Refuse(std::ostream& err, std::string_view text);
// The same for a failure: its clause with a full stop.
int Refuse(std::ostream& err, const Error& error);

// `json` on `out` as every listing prints it: indented by two, and what is
// not UTF-8 replaced rather than failing (catalogue texts are bytes, not
// checked UTF-8).
void PrintJson(std::ostream& out, const nlohmann::json& json);

// The text, or null when it is empty.
nlohmann::json TextOrNull(const std::string& text);

// Flushes `out`: `status` when it took everything, else kExitRefused after
// "cannot write WHAT" on `err`.
int Flushed(std::ostream& out, std::ostream& err, std::string_view what, int status = kExitOk);

}  // namespace sovra::cli
