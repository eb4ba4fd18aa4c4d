#include "cli/commands.h"

namespace dravonel::cli {

void addVolumeCommands(CLI::App& app, int& exitCode) {}

}  // namespace dravonel::cli
