// dravonel-cli: the command-line front end. Exit status 0 on success, 1 when the
// operation failed (the system's message on stderr), 2 for a usage error.
#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"Quorvane Dravonel file recovery (command line)", "dravonel-cli"};
    app.require_subcommand(1);
    int exitCode = 0;
    dravonel::cli::addDiscoveryCommands(app, exitCode);
    dravonel::cli::addVolumeCommands(app, exitCode);
    dravonel::cli::addRawCommands(app, exitCode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }
    return exitCode;
}
