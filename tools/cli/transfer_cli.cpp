#include "tools/cli/transfer_cli.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <cerrno>
#include <future>
#include <iostream>

namespace vm::cli {

LinkTiming& ToolLinkTiming() {
    static LinkTiming timing = ProgramLinkTiming();
    return timing;
}

std::function<std::unique_ptr<SerialPort>()>& ToolMakePort() {
    static std::function<std::unique_ptr<SerialPort>()> make = CreateSerialPort;
    return make;
}

ExplicitPorts ExplicitPortsOf(const Context& ctx, std::optional<int> also) {
    // Ports a program publishes (the cable's host) come first.
    return WithPublishedPorts(ReadExplicitPorts(
        [&](const std::string& key) { return ctx.app.settings.Read(kSectionPorts, key, ""); },
        also));
}

PortChoice ChoosePort(const Context& ctx, const std::optional<std::string>& given) {
    PortChoice choice;
    choice.name = given.value_or(ctx.app.port_path);
    choice.given = given.has_value();
    choice.device = ResolvePort(choice.name, ExplicitPortsOf(ctx, ComNumberOf(choice.name)),
                                ListSerialDevices());
    return choice;
}

TransferRequest RequestFromArgs(const Context& ctx, const Args& args) {
    TransferRequest request;
    request.port = ChoosePort(ctx, args.Value("port"));
    request.password = args.Value("password");
    request.quiet = args.Flag("quiet");
    return request;
}

namespace {

// Ctrl-C during a transfer presses Exit: the worker stops after its block. A second Ctrl-C
// ends the program at once.
std::atomic<bool>* g_exit_flag = nullptr;
std::atomic<int> g_interrupts{0};
// The terminal whose echo the access-code prompt has turned off, and its settings to restore.
std::atomic<int> g_prompt_fd{-1};
termios g_prompt_saved{};

void OnInterrupt(int) {
    if (g_interrupts.fetch_add(1) == 0) {
        if (g_exit_flag) g_exit_flag->store(true);
        return;
    }
    if (const int fd = g_prompt_fd.load(); fd >= 0) tcsetattr(fd, TCSANOW, &g_prompt_saved);
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
}

class InterruptGuard {
public:
    explicit InterruptGuard(std::atomic<bool>& exit_flag) {
        g_interrupts = 0;
        g_exit_flag = &exit_flag;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &previous_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &previous_, nullptr);
        g_exit_flag = nullptr;
    }
    bool Interrupted() const { return g_interrupts > 0; }

private:
    struct sigaction previous_ {};
};

bool IsTerminal(const std::ostream& stream, int fd) {
    return (&stream == &std::cerr || &stream == &std::cout) && isatty(fd);
}

// The access code typed on the terminal without echo; nullopt when there is no terminal or
// the prompt is interrupted (Cancel).
std::optional<std::string> AskAccessCode(const Context& ctx, const std::atomic<bool>& cancel) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    termios saved{};
    const bool is_tty = tcgetattr(fd, &saved) == 0;
    if (is_tty) {
        g_prompt_saved = saved;
        g_prompt_fd = fd;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ICANON;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    ctx.err << "The radio is protected. Password: " << std::flush;
    std::string typed;
    bool done = false;
    while (!done && !cancel) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        const ssize_t r = ::read(fd, &c, 1);
        if (r <= 0 || c == '\n' || c == '\r') {
            done = r > 0;
            break;
        }
        typed.push_back(c);
    }
    if (is_tty) {
        g_prompt_fd = -1;
        tcsetattr(fd, TCSAFLUSH, &saved);
    }
    ::close(fd);
    ctx.err << "\n";
    if (!done) return std::nullopt;
    // The dialog's edit takes at most 8 characters.
    if (typed.size() > 8) typed.resize(8);
    return typed;
}

// Progress on the error stream: a bar on a terminal, a line every 10% otherwise.
class ProgressView {
public:
    ProgressView(const Context& ctx, std::string caption, bool quiet)
        : ctx_(ctx),
          caption_(std::move(caption)),
          quiet_(quiet),
          terminal_(IsTerminal(ctx.err, STDERR_FILENO)) {}

    void Show(int position, int upper, const std::string& percent) {
        if (quiet_) return;
        const int value = upper > 0 ? position * 100 / upper : 100;
        if (terminal_) {
            constexpr int kWidth = 40;
            const int filled = upper > 0 ? position * kWidth / upper : kWidth;
            ctx_.err << '\r' << caption_ << " ["
                     << std::string(static_cast<std::size_t>(filled), '#')
                     << std::string(static_cast<std::size_t>(kWidth - filled), '.') << "] "
                     << percent << std::flush;
            open_line_ = true;
        } else if (value / 10 != last_tenth_ || position == upper) {
            last_tenth_ = value / 10;
            ctx_.err << caption_ << ": " << percent << "\n";
        }
    }
    // Ends the bar's line before anything else is printed.
    void Break() {
        if (open_line_) ctx_.err << "\n";
        open_line_ = false;
    }

private:
    const Context& ctx_;
    std::string caption_;
    bool quiet_;
    bool terminal_;
    bool open_line_ = false;
    int last_tenth_ = 0;
};

}  // namespace

int RunTransfer(Context& ctx, RadioImage& image, const TransferRangeTable& table,
                const TransferRequest& request) {
    ProgressView progress(ctx, table.caption, request.quiet);
    std::promise<void> closed;
    bool asked = false;

    TransferCallbacks callbacks;
    callbacks.progress = [&](int position, int upper, const std::string& percent) {
        progress.Show(position, upper, percent);
    };
    callbacks.message = [&](std::string_view text, std::string_view detail) {
        progress.Break();
        // The radio's message, and what it is about (the port's reason follows below).
        if (detail.empty() || text == kOpenPortFail)
            ctx.Fail(text);
        else
            ctx.Fail(std::string(text) + ": " + std::string(detail));
    };
    callbacks.password = [&]() -> std::optional<std::string> {
        progress.Break();
        asked = true;
        if (request.password) return request.password;
        if (!isatty(STDIN_FILENO)) return std::nullopt;
        return AskAccessCode(ctx, g_bTransferCancel);
    };
    callbacks.post_cancel = [&] { closed.set_value(); };

    InterruptGuard interrupts(g_bTransferCancel);
    if (const TimeoutScale scale = TimeoutScaleFromEnvironment(); !scale.problem.empty())
        ctx.Warn(scale.problem);
    CloneWorkerOptions options;
    options.timing = ToolLinkTiming();
    if (ToolMakePort()) options.make_port = ToolMakePort();
    options.port_label = request.port.Describe();
    TransferSession session(image, table, request.port.device, std::move(callbacks), options);
    // In service mode the dialog starts the transfer as it opens; otherwise "Start" does.
    if (!session.Initialise(request.service) && !session.Start())
        return ctx.Fail("another transfer is running");
    closed.get_future().wait();
    session.Exit();  // the posted Cancel: the worker is no longer busy, the "dialog" closes
    session.Join();
    progress.Break();

    const TransferOutcome outcome = session.outcome().value_or(TransferOutcome::Cancelled);
    if (outcome == TransferOutcome::Done) return kExitSuccess;
    if (outcome == TransferOutcome::Cancelled) {
        ctx.err << kProgramName
                << ": interrupted: the transfer was cancelled (the radio was sent \"ENDW\")\n";
        return kExitInterrupted;
    }
    switch (outcome) {
        case TransferOutcome::PortOpenFailed:
            if (request.port.name.empty())
                return ctx.Fail(request.port.given
                                    ? std::string("no port given: --port is empty")
                                    : std::string("no port: ") + shell::kSettingsFileName +
                                          " has no \"" + shell::kKeyCom + "\" in [" +
                                          shell::kSectionSetup +
                                          "]; give --port (see `vm6142 ports`)");
            return ctx.Fail(request.port.device.empty()
                                ? request.port.name + " has no serial device (see `vm6142 ports`)"
                                : session.detail());
        case TransferOutcome::PasswordRefused:
            // Ctrl-C at the prompt is the password dialog's Cancel.
            if (interrupts.Interrupted() && !request.password) {
                ctx.err << kProgramName
                        << ": interrupted: the access code was not given; nothing was "
                           "transferred\n";
                return kExitInterrupted;
            }
            if (!asked || (!request.password && !isatty(STDIN_FILENO)))
                return ctx.Fail("the radio is protected: give its access code with --password");
            return ctx.Fail("wrong access code: the radio is protected; nothing was transferred");
        default:
            // "Communication error" is already on the error stream.
            if (interrupts.Interrupted())
                return ctx.Fail(std::string("the transfer failed (") + OutcomeName(outcome) +
                                ") before Ctrl-C could cancel it");
            return kExitFailure;
    }
}

}  // namespace vm::cli
