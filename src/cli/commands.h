#pragma once
// Subcommands of sovra-flash. Each Add* function registers one subcommand;
// when the user chooses it, its callback stores the work to run in `run`,
// which main() calls after parsing. A runner returns the exit status:
// 0 success, 1 an input or a device refused, 2 a usage error.

#include <functional>

namespace CLI {
class App;
}

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

}  // namespace sovra::cli
