// libFuzzer target for the file structure walkers (see structure_walkers_entry.h).
#include "structure_walkers_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return dravonel::fuzzStructureWalkers(data, size);
}
