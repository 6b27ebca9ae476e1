// The clone protocol: the worker that moves the ranges of a transfer range table between an
// image and the radio, and the transfer dialog's logic that starts, cancels and closes it.
// The dialog's window (Qt) and the command-line tool both drive a TransferSession and see the
// transfer only through TransferCallbacks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/image/radio_image.h"
#include "app/image/settings_regions.h"
#include "app/link/link_timing.h"
#include "app/link/serial_port.h"

namespace vm {

// Set while a worker runs; cleared by the worker on every way out, before it closes its dialog.
extern std::atomic<bool> g_bTransferBusy;
// Set by the dialog's Exit; cleared by a worker when it starts; polled after every block.
extern std::atomic<bool> g_bTransferCancel;

struct TransferFlags {
    std::atomic<bool>* busy = &g_bTransferBusy;
    std::atomic<bool>* cancel = &g_bTransferCancel;
};

// Messages the worker shows.
inline constexpr std::string_view kOpenPortFail = "Open port fail";
inline constexpr std::string_view kCommunicationError = "Communication error";

// What identifies an "Open port fail": the port as the user knows it (`port`: "COM3
// (/dev/ttyUSB0)"), the system's reason for `error` and, when the user may not open the
// device, how to be given it (the "dialout" group).
std::string OpenPortFailDetail(std::string_view port, int error);
// The detail of a protected radio whose access code was not given or was wrong.
inline constexpr std::string_view kAccessCodeWrong =
    "Wrong access code: the radio is protected; nothing was transferred.";
inline constexpr std::string_view kAccessCodeNotGiven =
    "The radio is protected and its access code was not given; nothing was transferred.";

// The access code a protected radio asks for; compared ignoring case.
inline constexpr std::string_view kAccessCode = "5731RB";
bool MatchesAccessCode(std::string_view typed);

// Protocol bytes.
inline constexpr std::uint8_t kWakeUp[] = {0x02, 'P', 'R', 'O', 'G', 'R', 'A'};
inline constexpr std::uint8_t kIdentRequest[] = {'M', 0x02};
inline constexpr std::size_t kIdentLength = 16;
inline constexpr std::uint8_t kAck = 'A';
inline constexpr std::uint8_t kEndRead[] = {'E', 'N', 'D', 'R'};
inline constexpr std::uint8_t kEndWrite[] = {'E', 'N', 'D', 'W'};
inline constexpr std::uint8_t kReadCommand = 'R';
inline constexpr std::uint8_t kWriteCommand = 'W';
inline constexpr std::size_t kBlockHeader = 4;
inline constexpr std::size_t kMaxBlock = 128;
// The protection probe reads 128 bytes from the basic settings block, whose head is a side
// record; the radio is protected when that record's protection flag holds 3.
inline constexpr std::uint32_t kProbeAddress =
    BasicSettingsMap::kBase + BasicSettingsMap::kSideRecord;
inline constexpr std::uint8_t kProtected = 3;
inline constexpr int kWakeUpRetries = 8;  // 9 attempts in all
inline constexpr int kAckAttempts = 4;    // per read block
// The driver queues the worker asks for.
inline constexpr std::size_t kInputBufferSize = 1024;
inline constexpr std::size_t kOutputBufferSize = 512;

// At most 16 ranges, each [start, end) within the image.
bool IsValidRangeTable(const TransferRangeTable& t);

enum class TransferOutcome {
    Done,
    Cancelled,        // Exit pressed during the blocks ("ENDW" sent)
    PortOpenFailed,   // "Open port fail"
    NoWakeUp,         // no "A" to nine wake-ups
    ShortIdent,       // ident reply shorter than 16 bytes
    NoIdentAck,       // no "A" to the ident acknowledgement
    PasswordRefused,  // protected radio, access code wrong or not given
    // A block was not acknowledged, or (a read block, the protection probe included) its reply
    // never came as the radio echoes it: "W", the address and the length, then exactly the data.
    BlockFailed,
    InvalidRanges,  // a range outside the image: nothing was sent
};
const char* OutcomeName(TransferOutcome outcome);
// What identifies a "Communication error": the step that failed (`block`: the address of the
// block that was not answered).
std::string CommunicationErrorDetail(TransferOutcome outcome, std::uint32_t block = 0);

// How the worker reaches its dialog. Calls come from the worker's thread; each may be empty.
struct TransferCallbacks {
    std::function<void()> disable_start;
    // After each block: position (1..upper), upper limit, and the percentage text ("%d%%").
    std::function<void(int position, int upper, const std::string& percent)> progress;
    // A message box with an OK button and one of the fixed texts; `detail` says what the text
    // is about (the box's informative text; may be empty). Returns when it is dismissed.
    std::function<void(std::string_view text, std::string_view detail)> message;
    // The password dialog: the text typed and OK (the worker compares it with the access
    // code), or nullopt for Cancel.
    std::function<std::optional<std::string>()> password;
    // Posts the Cancel command to the dialog (the worker has finished).
    std::function<void()> post_cancel;
};

struct CloneWorkerOptions {
    // The port as the user knows it, for messages ("COM3 (/dev/ttyUSB0)"); empty: the path.
    std::string port_label;
    LinkTiming timing;
    TransferFlags flags;
    std::function<std::unique_ptr<SerialPort>()> make_port = CreateSerialPort;
};

// One transfer, run on the calling thread. A read gathers the blocks in a copy of the image and
// puts them into the image only when every block has arrived, so a failed or cancelled read
// leaves the image exactly as it was. A read block's reply is taken only when its header echoes
// the command and exactly its data came, with nothing stray after it; anything else is a failed
// attempt of that block, which is then asked for again.
class CloneWorker {
public:
    CloneWorker(RadioImage& image, const TransferRangeTable& table, std::string port_path,
                TransferCallbacks callbacks, CloneWorkerOptions options = {});
    // Runs the transfer. `flags_claimed`: the caller has already set busy and cleared cancel
    // (so an Exit pressed right after Start is not lost).
    TransferOutcome Run(bool flags_claimed = false);
    bool success() const { return success_.load(); }
    // What identifies the failure of the last run (empty after success or a cancel); read it
    // once the run has ended.
    const std::string& detail() const { return detail_; }

private:
    class Session;
    RadioImage& image_;
    TransferRangeTable table_;
    std::string port_path_;
    TransferCallbacks callbacks_;
    CloneWorkerOptions options_;
    std::atomic<bool> success_{false};
    std::string detail_;
};

// The transfer dialog's logic ("Start", "Exit", initialisation) around one worker thread.
class TransferSession {
public:
    TransferSession(RadioImage& image, TransferRangeTable table, std::string port_path,
                    TransferCallbacks callbacks, CloneWorkerOptions options = {});
    ~TransferSession();
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    const std::string& caption() const { return table_.caption; }
    // The progress bar's range is 0..upper(): the number of blocks.
    int upper() const { return upper_; }

    // Dialog initialisation: in service mode the transfer starts at once (true when it did).
    bool Initialise(bool extended_range);
    // "Start": starts the worker unless one is busy; false when it did not start.
    bool Start();
    // "Exit" (also the close box and Esc): asks a running worker to stop after its block.
    // True when the dialog closes now, false while a worker is busy (it closes the dialog).
    bool Exit();
    // Waits for the worker thread to end.
    void Join();

    bool success() const { return worker_.success(); }
    std::optional<TransferOutcome> outcome() const;
    // The worker's detail of the outcome (see CloneWorker::detail); empty until it finished.
    std::string detail() const;

private:
    TransferRangeTable table_;
    TransferFlags flags_;
    int upper_;
    CloneWorker worker_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<TransferOutcome> outcome_{TransferOutcome::Done};
};

}  // namespace vm
