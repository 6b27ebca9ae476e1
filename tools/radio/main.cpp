// vm6142-radio: a simulated VM6142 on a pseudo-terminal. Prints the device to open, then
// answers the clone protocol until interrupted (or until --sessions end markers have come).
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/shell/data_file.h"
#include "tools/factory/factory_image.h"
#include "tools/radio/simulated_radio.h"

namespace {

constexpr const char* kUsage =
    "Usage: vm6142-radio [OPTIONS] [FILE]\n"
    "A simulated VM6142 radio on a pseudo-terminal. Prints the device path on the first line\n"
    "of standard output, then answers the clone protocol until interrupted (Ctrl-C).\n"
    "Its memory is FILE's image (a data file), or the factory image.\n"
    "\n"
    "Options:\n"
    "  --protected          the radio asks for the access code (its byte 0xCC08 is 3)\n"
    "  --wake-after N       ignore N wake-ups each time before answering one\n"
    "  --wake-delay MS      wait MS milliseconds before answering a wake-up\n"
    "  --fail-block ADDR    no acknowledgement for the block at ADDR (0x... or decimal)\n"
    "  --fail-acks N        ... only for the first N acknowledgements of a read block\n"
    "  --drop-block ADDR    acknowledge the written block at ADDR but do not store it\n"
    "  --short-ident        send 15 bytes of ident instead of 16\n"
    "  --ident-length N     send N bytes of ident (0..16)\n"
    "  --no-ident-ack       do not answer the acknowledgement of the ident\n"
    "  --vanish-after N     disappear after answering N block commands (the probe counts)\n"
    "  --hang-up            disappear by closing the line instead of falling silent\n"
    "  --paced              take the wire time of 38400 baud 8N1 for every byte\n"
    "  --late-ack WHERE     answer the acknowledgement of a read reply late\n"
    "  --late-ack-ms MS     ... by MS milliseconds (default 200)\n"
    "  --junk WHERE         send stray bytes before a read reply\n"
    "  --junk-length N      ... N of them (1..1000, default 10)\n"
    "  --junk-acks          ... and before the \"A\" answering its acknowledgement\n"
    "  --wrong-address WHERE  answer a read with the block 0x80 bytes away\n"
    "  --stall WHERE        pause half-way through a read reply\n"
    "  --stall-ms MS        ... for MS milliseconds (default 80)\n"
    "  --save FILE          write the memory to FILE (a data file) after every write session\n"
    "  --sessions N         exit after N end markers (\"ENDR\"/\"ENDW\")\n"
    "  --quiet              no log on standard error\n"
    "  -h, --help           this text\n"
    "WHERE is the address of a read block (0x... or decimal): the first reply to it; or\n"
    "\"all\": every reply to a read command, the protection probe's included.\n";

int Usage(const std::string& error) {
    std::cerr << "vm6142-radio: " << error << "\n" << kUsage;
    return 2;
}

std::optional<long> Number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

// "all", or a block address: where a reply fault strikes.
std::optional<vm::ReplyFault> FaultAt(std::string_view text) {
    if (text == "all") return vm::ReplyFault{std::nullopt, -1};
    const auto a = Number(text);
    if (!a || *a > 0xFFFF) return std::nullopt;
    return vm::ReplyFault{static_cast<std::uint32_t>(*a), 1};
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vm;
    RadioOptions options;
    std::string file;
    long sessions = 0;
    bool quiet = false;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](long max) -> std::optional<long> {
            if (i + 1 >= args.size()) return std::nullopt;
            const auto v = Number(args[++i]);
            if (!v || *v > max) return std::nullopt;
            return v;
        };
        std::optional<long> v;
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--protected") {
            options.protect = true;
        } else if (a == "--wake-after") {
            if (!(v = value(1000))) return Usage("--wake-after needs a count");
            options.wake_after = static_cast<int>(*v);
        } else if (a == "--wake-delay") {
            if (!(v = value(60000))) return Usage("--wake-delay needs milliseconds");
            options.wake_delay = std::chrono::milliseconds(*v);
        } else if (a == "--fail-block") {
            if (!(v = value(0xFFFF))) return Usage("--fail-block needs an address 0..0xFFFF");
            options.fail_block = static_cast<std::uint32_t>(*v);
        } else if (a == "--drop-block") {
            if (!(v = value(0xFFFF))) return Usage("--drop-block needs an address 0..0xFFFF");
            options.drop_block = static_cast<std::uint32_t>(*v);
        } else if (a == "--fail-acks") {
            if (!(v = value(1000))) return Usage("--fail-acks needs a count");
            options.fail_acks = static_cast<int>(*v);
        } else if (a == "--short-ident") {
            options.ident_length = 15;
        } else if (a == "--ident-length") {
            if (!(v = value(16))) return Usage("--ident-length needs 0..16");
            options.ident_length = static_cast<std::size_t>(*v);
        } else if (a == "--no-ident-ack") {
            options.refuse_ident_ack = true;
        } else if (a == "--vanish-after") {
            if (!(v = value(100000))) return Usage("--vanish-after needs a count");
            options.vanish_after = static_cast<int>(*v);
        } else if (a == "--hang-up") {
            options.hang_up = true;
        } else if (a == "--paced") {
            options.paced = true;
        } else if (a == "--late-ack" || a == "--junk" || a == "--wrong-address" || a == "--stall") {
            std::optional<ReplyFault> where;
            if (i + 1 < args.size()) where = FaultAt(args[++i]);
            if (!where) return Usage(a + " needs an address 0..0xFFFF or \"all\"");
            (a == "--late-ack" ? options.late_ack
             : a == "--junk"   ? options.junk
             : a == "--stall"  ? options.stall
                               : options.misdirect) = where;
        } else if (a == "--late-ack-ms") {
            if (!(v = value(60000))) return Usage("--late-ack-ms needs milliseconds");
            options.late_ack_delay = std::chrono::milliseconds(*v);
        } else if (a == "--stall-ms") {
            if (!(v = value(60000))) return Usage("--stall-ms needs milliseconds");
            options.stall_delay = std::chrono::milliseconds(*v);
        } else if (a == "--junk-length") {
            if (!(v = value(1000)) || *v == 0) return Usage("--junk-length needs 1..1000");
            options.junk_length = static_cast<std::size_t>(*v);
        } else if (a == "--junk-acks") {
            options.junk_before_ack = true;
        } else if (a == "--save") {
            if (i + 1 >= args.size()) return Usage("--save needs a file");
            options.save_to = args[++i];
        } else if (a == "--sessions") {
            if (!(v = value(1000000)) || *v == 0) return Usage("--sessions needs a count");
            sessions = *v;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage("unknown option " + a);
        } else if (file.empty()) {
            file = a;
        } else {
            return Usage("only one data file");
        }
    }

    FileHeader header{};
    RadioImage memory{};
    if (file.empty()) {
        BuildFactoryImage(header, memory);
    } else {
        const shell::OpenResult r = shell::ReadDataFile(file, header, memory);
        if (!r) {
            std::cerr << "vm6142-radio: " << file << ": " << r.message << "\n";
            return 1;
        }
        if (const auto warning = shell::SizeWarning(r))
            std::cerr << "vm6142-radio: warning: " << file << ": " << *warning << "\n";
    }
    options.save_file = [](const std::filesystem::path& path, const FileHeader& h,
                           const RadioImage& image) {
        const shell::IoResult r = shell::WriteDataFile(path, h, image);
        if (!r) std::cerr << "vm6142-radio: " << path.string() << ": " << r.message << "\n";
        return static_cast<bool>(r);
    };
    if (!quiet)
        options.log = [](const std::string& line) { std::cerr << "radio: " << line << "\n"; };

    // The signals are taken by sigtimedwait below, on this thread only.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    SimulatedRadio radio(memory, header, options);
    std::string error;
    if (!radio.Open(error)) {
        std::cerr << "vm6142-radio: " << error << "\n";
        return 1;
    }
    std::cout << radio.device() << std::endl;
    radio.Start();
    for (;;) {
        const timespec tick{0, 50'000'000};
        if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) break;
        if (sessions > 0 && static_cast<long>(radio.record().end_markers.size()) >= sessions) break;
    }
    radio.Stop();
    const RadioRecord rec = radio.record();
    if (!quiet)
        std::cerr << "radio: stopped after " << rec.wake_ups << " wake-ups, " << rec.blocks_read
                  << " blocks read, " << rec.blocks_written << " blocks written, "
                  << rec.end_markers.size() << " end markers\n";
    return 0;
}
