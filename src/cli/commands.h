#pragma once
// Sub-commands of dravonel-cli, one registration function per group.
#include <CLI/CLI.hpp>

namespace dravonel::cli {

// devices, partitions, deep-scan
void addDiscoveryCommands(CLI::App& app, int& exitCode);
// list, recover, search
void addVolumeCommands(CLI::App& app, int& exitCode);
// carve, signature
void addRawCommands(CLI::App& app, int& exitCode);

}  // namespace dravonel::cli
