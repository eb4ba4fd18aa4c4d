#include "cli/commands.h"

namespace dravonel::cli {

void addRawCommands(CLI::App& app, int& exitCode) {}

}  // namespace dravonel::cli
