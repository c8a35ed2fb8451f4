#include "cli/commands.h"

#include <CLI/CLI.hpp>

#include <memory>

#include "app/safe_text.h"
#include "cli/catalogue_option.h"

namespace sovra::cli {

void RunWhenChosen(CLI::App* cmd, Runner& run, Runner work) {
    cmd->callback([&run, work = std::move(work)] { run = work; });
}

CLI::Option* AddTextOption(CLI::App* cmd, const std::string& name, std::optional<std::string>& into,
                           const std::string& description) {
    return cmd->add_option_function<std::string>(
        name, [&into](const std::string& text) { into = text; }, description);
}

CLI::Option* AddCatalogue(CLI::App* cmd, std::optional<std::string>& into) {
    auto path = std::make_shared<std::string>();
    return AddCatalogueOption(cmd, *path, "The catalogue to read")
        ->each([&into, path](const std::string& text) { into = text; });
}

int Refuse(std::ostream& err, std::string_view text) {
    err << "sovra-flash: " << TerminalSafe(text) << '\n';
    return kExitRefused;
}

int Refuse(std::ostream& err, const Error& error) {
    const std::string& what = error.What();
    return Refuse(err, what.ends_with('.') ? what : what + ".");
}

void PrintJson(std::ostream& out, const nlohmann::json& json) {
    out << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

nlohmann::json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

int Flushed(std::ostream& out, std::ostream& err, std::string_view what, int status) {
    out.flush();
    if (!out) {
        err << "sovra-flash: cannot write " << what << ".\n";
        return kExitRefused;
    }
    return status;
}

}  // namespace sovra::cli
