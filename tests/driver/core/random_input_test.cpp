// Bounded random inputs for the parts that take outside data: the extended-rate text and the
// private device-control codes' buffers. Run under AddressSanitizer to catch any access outside
// the buffers given (each buffer is allocated with exactly the size a caller would pass).
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "driver/core/chip_control.h"
#include "driver/core/private_ioctl.h"
#include "tests/driver/core/rig.h"

namespace vm::drv::testing {
namespace {

TEST(RandomInput, ExtendedRateTextNeverOverrunsAndRoundTrips) {
    std::mt19937 rng(20261208);
    const std::string alphabet = "0123456789012345678901234567890123456789,,,   x-";
    for (int i = 0; i < 20000; ++i) {
        std::string text(rng() % 300, ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        auto owned = std::make_unique<char[]>(text.size());  // exact size, no terminator
        std::copy(text.begin(), text.end(), owned.get());
        ExtendedRateTable table;
        table.Load(std::string_view(owned.get(), text.size()));
        ASSERT_LE(table.count, ExtendedRateTable::kCapacity);

        std::string again;
        for (std::size_t p = 0; p < table.count; ++p) {
            again += (p ? " " : "") + std::to_string(table.pairs[p].rate) + "," +
                     std::to_string(table.pairs[p].divisor);
        }
        ExtendedRateTable reparsed;
        reparsed.Load(again);
        ASSERT_EQ(reparsed.count, table.count) << text;
        for (std::size_t p = 0; p < table.count; ++p) {
            ASSERT_EQ(reparsed.pairs[p].rate, table.pairs[p].rate);
            ASSERT_EQ(reparsed.pairs[p].divisor, table.pairs[p].divisor);
        }
    }
}

std::vector<std::uint32_t> AllCodes() {
    std::vector<std::uint32_t> codes;
    for (std::uint32_t code = 0x00222000; code <= 0x002220B0; code += 4) codes.push_back(code);
    codes.push_back(0x001B0004);
    codes.push_back(0x00222001);
    return codes;
}

TEST(RandomInput, PrivateCodesWithAnyBufferLengths) {
    std::mt19937 rng(7);
    const std::vector<std::uint32_t> codes = AllCodes();
    for (const DriverPolicy* policy : {&kUsbser2kPolicy, &kUsbser9xPolicy}) {
        for (int block = 0; block < 10; ++block) {
            const int variant = static_cast<int>(rng() % (policy->maxChipVariant + 1));
            SCOPED_TRACE(std::string(policy->name) + " variant " + std::to_string(variant));
            Rig rig(variant, *policy);
            rig.Configure();
            rig.chip.SetLoopback(true);
            for (int i = 0; i < 400; ++i) {
                const std::uint32_t code = codes[rng() % codes.size()];
                const auto in = static_cast<std::uint32_t>(rng() % 72);
                const auto out = static_cast<std::uint32_t>(rng() % 72);
                std::unique_ptr<std::uint8_t[]> buffer;
                if (rng() % 8 != 0) {
                    buffer = std::make_unique<std::uint8_t[]>(std::max(in, out));
                    for (std::uint32_t b = 0; b < std::max(in, out); ++b) {
                        buffer[b] = static_cast<std::uint8_t>(rng());
                    }
                }
                if (rng() % 4 == 0) rig.chip.InjectStatus({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
                std::uintptr_t info = 12345;
                const NTSTATUS status =
                    USB2SER_ProcessPrivateIoctl(*rig.dev, code, buffer.get(), in, out, info);
                ASSERT_NE(status, STATUS_PENDING) << std::hex << code;
                ASSERT_LE(info, out) << std::hex << code;
                if (!NT_SUCCESS(status)) {
                    ASSERT_EQ(info, 0u) << std::hex << code;
                }
            }
            USB2SER_CancelAllIrps(*rig.dev);
            EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
            EXPECT_EQ(rig.kernel.pool().BadFrees(), 0u);
        }
    }
}

}  // namespace
}  // namespace vm::drv::testing
