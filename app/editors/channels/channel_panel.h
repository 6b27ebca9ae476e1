// The field panel of one ChannelRecord, shared by the channel edit dialog, the VFO dialog and
// the scan-edge view: the controls, their lists and filters, loading and storing the fields all
// three treat alike, and the rules between the controls (CTCSS/DCS and offset normalisation,
// the step and SQL-mode lists, dependent controls, "Reverse" against "Talk around").
//
// Each editor adds what is its own: the Rx and Tx checks, where the record lives, and how the
// frequencies, the offset and the offset direction are stored.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/image/band_tables.h"
#include "app/image/channel_record.h"
#include "app/widgets/form.h"

namespace vm {

// Four BCD bytes hold frequencies below 1000 MHz (10 Hz units).
inline constexpr std::int64_t kFrequencyLimit = 100'000'000;

// A typed MHz text in 10 Hz units, truncated; 0 when no positive number can be read. A value
// of 1000 MHz or more comes back as it is: it lies in no band and is never stored.
std::int64_t TypedFrequency(std::string_view text);
// The bank-A band of a frequency; -1 for none, for 0 (no frequency) and for values that four
// BCD bytes cannot hold.
int BandOfFrequency(const BandTables& bands, std::int64_t f, Bank bank = Bank::A);
// 4 or 7 when f lies in a home band, else -1 (also for 0 and unstorable values).
int HomeBandOfFrequency(const BandTables& bands, std::int64_t f);
// The lower limit of band b as a frequency.
std::uint32_t LowerLimit(const BandTables& bands, int b, Bank bank = Bank::A);

// The editors the panel serves; they differ in labels and in which controls are shown.
enum class PanelKind { ChannelEdit, Vfo, ScanEdge };

class ChannelPanel {
public:
    enum Id : int {
        kIdRx = 1029,
        kIdTx = 1030,
        kIdName = 1059,
        kIdCtcss = 1202,
        kIdDcs = 1203,
        kIdPolarity = 1204,
        kIdDecode = 1205,
        kIdOptSignal = 1222,
        kIdSignalDecode = 1033,
        kIdPttId = 1034,
        kIdSqlMode = 1210,
        kIdTxStop = 1206,
        kIdReverseBackup = 1215,
        kIdEmphasis = 1211,
        kIdCompander = 1212,
        kIdScrambler = 1213,
        kIdReverse = 1150,
        kIdTalkAround = 1217,
        kIdBeatShift = 1216,
        kIdAm = 1013,
        kIdBandwidth = 1151,
        kIdScan = 1208,
        kIdTxPower = 1031,
        kIdBusyLock = 1152,
        kIdDisplayType = 1209,
        kIdStep = 1058,
        kIdOffsetDir = 1042,
        kIdOffset = 1044,
    };
    // The group boxes the fields sit in. The two "Reverse" check boxes of the channel edit
    // dialog are told apart by them ("Functions/Reverse", the hidden "Backup/Reverse").
    enum GroupId : int {
        kGroupFrequency = 2001,
        kGroupTone,
        kGroupSignaling,
        kGroupChannel,
        kGroupFunctions,
        kGroupBackup,
    };

    // The steps offered for band 8 (2.5, 6.25, 7.5 and 8.33 kHz left out).
    static constexpr OptionList<9> kBand8Steps = {"5.0", "10", "12.5", "15", "20",
                                                  "25",  "30", "50",   "100"};
    static constexpr std::string_view kDefaultStep = "12.5";

    // Adds the panel's controls to `form` and binds the rules between them; a tab strip that
    // selects the record shown (tab_strip != 0) is created first, above the panel.
    ChannelPanel(Form& form, const BandTables& bands, PanelKind kind, int tab_strip = 0);
    ChannelPanel(const ChannelPanel&) = delete;
    ChannelPanel& operator=(const ChannelPanel&) = delete;

    Form& form() { return form_; }
    const BandTables& bands() const { return bands_; }
    PanelKind kind() const { return kind_; }
    // Every control of the panel, in creation order.
    const std::vector<int>& ids() const { return ids_; }

    // The editors' own checks of the Rx and Tx edits, run when each loses the focus. The Tx
    // edit's text is remembered when it gains the focus (the last accepted Tx).
    void OnFrequencyLeft(std::function<void()> check_rx, std::function<void()> check_tx);
    const std::string& remembered_tx() const { return remembered_tx_; }
    void RememberTx() { remembered_tx_ = form_.Text(kIdTx); }

    // ---- loading and storing what the three editors share
    struct LoadRules {
        // A stored option-signalling / PTT-ID value that its list lacks selects entry 0
        // (otherwise the list is left without a selection).
        bool opt_signal_outside_selects_first = true;
        bool ptt_outside_selects_first = true;
        bool show_offset = true;      // the offset edit is filled from the record
        bool show_direction = false;  // the offset direction list is set from the record
    };
    // An empty record (false): the Rx edit emptied, the rest disabled and cleared. Otherwise
    // every control enabled, Rx shown, the step list built for it, Tx shown (empty when the
    // record has none) and ShowFields.
    bool ShowRecord(ConstChannelRecord rec, const LoadRules& rules);
    // Rx and Tx from their edits (Tx absent when its edit is empty); false, with nothing
    // written, when the Rx edit holds no storable frequency.
    bool StoreFrequencies(ChannelRecord rec) const;
    // The fields after the frequencies: offset, CTCSS, DCS, lists, check boxes, step, name;
    // then the SQL-mode list, the default selections, the offset normalisation, "Reverse" over
    // "Talk around" and the dependent controls.
    void ShowFields(ConstChannelRecord rec, const LoadRules& rules);
    // CTCSS, DCS, bytes 0x0C, 0x0D, bits 5-0 of 0x0E, 0x0F, 0x14, 0x15 and the name.
    void StoreFields(ChannelRecord rec) const;
    // The offset edit's value in 10 Hz units; nullopt when it is empty.
    std::optional<std::uint32_t> OffsetValue() const;

    // ---- control rules
    // Lists without a selection: "Tx power" "High", "Frequency step" "12.5", the others their
    // first entry.
    void ApplyDefaultSelections();
    // 0..50 MHz snapped to the raster, anything else 7.6 MHz; empty becomes 0.
    void NormaliseOffset();
    // The steps for frequency f (nine in band 8, else all); the previous step again if the new
    // list has it, else "12.5".
    void RebuildStepList(std::int64_t f);
    // The squelch modes the decode type and the option signalling allow; the previous one
    // again if allowed, else "Carrier".
    void RebuildSqlModes();
    // Enable states that follow other controls: the offset with direction "-"/"+", the
    // signalling decode with "2 Tone".
    void ApplyDependentStates();
    // Every control enabled, then the dependent ones set.
    void EnableAll();
    // Every control but the Rx edit disabled and cleared (edits empty, no selections, check
    // boxes off).
    void DisableAndClear();
    // Runs the focus-loss rules of the focused control without moving the focus, so that a
    // store never takes text that the control's check has not seen. The rules are idempotent:
    // when the control loses the focus later they find nothing left to correct.
    void CommitFocused();

    // Selects the entry whose text is exactly `text`, or nothing.
    void SelectExact(int id, std::string_view text);

private:
    void Build();
    void Bind();

    Form& form_;
    const BandTables& bands_;
    PanelKind kind_;
    std::vector<int> ids_;
    std::string remembered_tx_;
};

}  // namespace vm
