// Full refresh of the channel table: LoadFromImage and StoreToImage (which ends with
// NormalizeImage) over 800 channels in use. Prints wall-clock figures; under callgrind
// (run_callgrind.sh) each operation is collected on its own and dumped with its name.
#include <valgrind/callgrind.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/editors/channels/channel_memory.h"
#include "app/editors/channels/program_view.h"
#include "app/image/band_tables.h"
#include "app/image/channel_record.h"

namespace vm {
namespace {

// Every channel of both banks in use, with a name, tones and varied flags; offset by `seed`
// so that two such images differ in every cell.
void FillFullTable(RadioImage& image, const BandTables& bands, int seed) {
    for (int n = 1; n <= 2 * kChannelsPerBank; ++n) {
        const std::uint32_t f =
            (n % 2 ? 14'400'000u : 43'000'000u) + 1250u * static_cast<std::uint32_t>(n + seed);
        InitChannelRecord(image, n, f, bands);
        ChannelRecord rec = ChannelAt(image, n);
        rec.SetTx(f + 60'000);
        rec.SetDirection(OffsetDirection::Plus);
        rec.SetCtcss(885 + 10 * ((n + seed) % 100));
        rec.SetDcs(23 + (n + seed) % 700);
        rec.SetScan((n + seed) % 3);
        rec.SetTxPower((n + seed) % 4);
        rec.SetName("C" + std::to_string((n + seed) % 100000));
    }
}

template <class F>
double Millis(F&& f, int times) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < times; ++i) f();
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count() / times;
}

int Main() {
    RadioImage image;
    image.fill(0xFF);
    for (int n = 1; n <= kBandCount; ++n) {
        const BandLimits l = FixedBandLimits(n);
        PutFrequency(image.data() + FrequencyRangeRecord(n), static_cast<std::uint32_t>(l.lower));
        PutFrequency(image.data() + FrequencyRangeRecord(n) + 4,
                     static_cast<std::uint32_t>(l.upper));
    }
    BandTables bands = BandTables::Initial();
    RecomputeBandTables(bands, image);
    RecomputeBandEnabledFromImage(bands, image);
    RadioImage other = image;
    FillFullTable(image, bands, 0);
    FillFullTable(other, bands, 1);

    CProgramView table(image, bands);
    table.OnInitialUpdate();
    image = other;  // every cell of the next load differs from what the grid shows

    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    table.LoadFromImage();
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("LoadFromImage");

    CALLGRIND_TOGGLE_COLLECT;
    table.StoreToImage();
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT("StoreToImage+NormalizeImage");

    if (RUNNING_ON_VALGRIND) return 0;
    RadioImage a = image;
    RadioImage b = other;
    FillFullTable(b, bands, 2);
    bool flip = false;
    const double load = Millis(
        [&] {
            image = flip ? a : b;
            flip = !flip;
            table.LoadFromImage();
        },
        50);
    // Each store writes a table that differs from the image in every row: the grid shows one
    // image while the bytes hold the other (only the store is timed).
    double store = 0;
    constexpr int kStores = 50;
    for (int i = 0; i < kStores; ++i) {
        image = i % 2 ? a : b;
        table.LoadFromImage();
        image = i % 2 ? b : a;
        store += Millis([&] { table.StoreToImage(); }, 1);
    }
    store /= kStores;
    std::printf("LoadFromImage (800 rows, every cell changed): %.3f ms\n", load);
    std::printf("StoreToImage + NormalizeImage:                %.3f ms\n", store);
    std::printf("Instruction counts: bench/channels/run_callgrind.sh <build dir>\n");
    return 0;
}

}  // namespace
}  // namespace vm

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf(
                "Usage: %s\n\n"
                "Times a full LoadFromImage and a full StoreToImage (with NormalizeImage) of the\n"
                "channel table, 800 rows in use with every cell changed, and prints the\n"
                "milliseconds per operation. Under callgrind (bench/channels/run_callgrind.sh)\n"
                "each operation is collected on its own. Takes no options but --help.\n",
                argv[0]);
            return 0;
        }
        std::fprintf(stderr, "%s: unknown argument '%s'\nTry '%s --help'.\n", argv[0], argv[i],
                     argv[0]);
        return 2;
    }
    return vm::Main();
}
