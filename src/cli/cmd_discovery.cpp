#include "cli/commands.h"

namespace dravonel::cli {

void addDiscoveryCommands(CLI::App& app, int& exitCode) {}

}  // namespace dravonel::cli
