// Fuzzes the extended-rate text ("rate,word rate,word ...") as it arrives from the registry or
// the port driver.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/core/chip_control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vm::drv::ExtendedRateTable table;
    table.Load(std::string_view(reinterpret_cast<const char*>(data), size));
    if (table.count > vm::drv::ExtendedRateTable::kCapacity) __builtin_trap();
    int index = 0;
    for (std::size_t i = 0; i < table.count; ++i) {
        if (!vm::drv::USB2SER_FindAvailExtBaudRate(table, table.pairs[i].rate, index)) {
            __builtin_trap();
        }
    }
    return 0;
}
