#include "driver/core/usb_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/driver/core/rig.h"

namespace vm::drv::testing {
namespace {

using sim::WireRecord;

// --- Every request of the request table -------------------------------------------------------

struct RequestCase {
    const char* name;
    std::function<NTSTATUS(UsbDevice&)> call;
    std::vector<std::string> wire;
};

TEST(TransportRequests, EachOperationSendsExactlyItsRequest) {
    std::uint8_t byte = 0;
    std::uint8_t two[2] = {};
    std::uint8_t wide[2] = {};
    const std::vector<RequestCase> cases = {
        {"read register 1",
         [](UsbDevice& d) { return USB2SER_GetDCR_NoCOM(d, 1); },
         {"C0 01 0081 0000 0001"}},
        {"write register 2",
         [](UsbDevice& d) { return USB2SER_SetDCR(d, 2, 0x44); },
         {"40 01 0002 0044 0000"}},
        {"raw vendor write",
         [](UsbDevice& d) { return USB2SER_SendEncap(d, 0x0001, 0x0304); },
         {"40 01 0001 0304 0000"}},
        {"raw vendor read",
         [&](UsbDevice& d) { return USB2SER_GetEncap(d, 0x0082, byte); },
         {"C0 01 0082 0000 0001"}},
        {"EEPROM status",
         [&](UsbDevice& d) { return USB2SER_EEPROM_ReadStatus(d, byte); },
         {"C0 01 8484 0000 0001"}},
        {"XON/XOFF characters",
         [](UsbDevice& d) { return USB2SER_SetXonXoffChars(d, 0x11, 0x13); },
         {"40 01 0505 1311 0000"}},
        {"input-signal configuration write",
         [](UsbDevice& d) { return USB2SER_SetInputSignalConfig(d, 0xBEEF); },
         {"40 01 0606 BEEF 0000"}},
        {"input-signal configuration read",
         [&](UsbDevice& d) { return USB2SER_GetInputSignalConfig(d, two); },
         {"C0 01 8686 0000 0002"}},
        {"input-signal data write",
         [](UsbDevice& d) { return USB2SER_SetInputSignalData(d, 0x0102); },
         {"40 01 0707 0102 0000"}},
        {"input-signal data read",
         [&](UsbDevice& d) { return USB2SER_GetInputSignalData(d, two); },
         {"C0 01 8787 0000 0002"}},
        {"data-path reset 0",
         [](UsbDevice& d) { return USB2SER_ResetDataPipe(d, 0); },
         {"40 01 0808 0000 0000"}},
        {"data-path reset 1",
         [](UsbDevice& d) { return USB2SER_ResetDataPipe(d, 1); },
         {"40 01 0909 0000 0000"}},
        {"flow threshold",
         [](UsbDevice& d) { return USB2SER_SetFlowThreshold(d, 3); },
         {"40 01 0B0B 0003 0000"}},
        {"register 0x0C write",
         [](UsbDevice& d) { return WriteExtendedRegister(d, 0x0C, 0x1234); },
         {"40 01 0C0C 1234 0000"}},
        {"register 0x0C read",
         [&](UsbDevice& d) { return ReadExtendedRegister(d, 0x0C, wide); },
         {"C0 01 8C8C 0000 0002"}},
        {"register 0x0D write",
         [](UsbDevice& d) { return WriteExtendedRegister(d, 0x0D, 7); },
         {"40 01 0D0D 0007 0000"}},
        {"register 0x0D read",
         [&](UsbDevice& d) { return ReadExtendedRegister(d, 0x0D, wide); },
         {"C0 01 8D8D 0000 0002"}},
        {"register 0x0E write",
         [](UsbDevice& d) { return WriteExtendedRegister(d, 0x0E, 9); },
         {"40 01 0E0E 0009 0000"}},
        {"register 0x0E read",
         [&](UsbDevice& d) { return ReadExtendedRegister(d, 0x0E, wide); },
         {"C0 01 8E8E 0000 0001"}},
        {"register 0x0F write",
         [](UsbDevice& d) { return WriteExtendedRegister(d, 0x0F, 1); },
         {"40 01 0F0F 0001 0000"}},
        {"register 0x0F read",
         [&](UsbDevice& d) { return ReadExtendedRegister(d, 0x0F, wide); },
         {"C0 01 8F8F 0000 0001"}},
        {"SET_COMM_FEATURE",
         [](UsbDevice& d) { return USB2SER_SetFeature(d, 0x0002); },
         {"21 02 0001 0000 0002"}},
        {"GET_COMM_FEATURE",
         [&](UsbDevice& d) { return USB2SER_GetFeature(d, two); },
         {"A1 03 0001 0000 0002"}},
        {"CLEAR_COMM_FEATURE",
         [](UsbDevice& d) { return USB2SER_ClrFeature(d); },
         {"21 04 0001 0000 0000"}},
        {"SET_LINE_CODING",
         [](UsbDevice& d) {
             return USB2SER_SetLineCoding(d, LineCoding{9600, 0, 0, 8});
         },
         {"21 20 0000 0000 0007"}},
        {"GET_LINE_CODING",
         [](UsbDevice& d) {
             LineCoding c;
             return USB2SER_GetLineCoding(d, c);
         },
         {"A1 21 0000 0000 0007"}},
        {"SET_CONTROL_LINE_STATE",
         [](UsbDevice& d) { return USB2SER_SendCtrlState(d, 3); },
         {"21 22 0003 0000 0000"}},
        {"SEND_BREAK on",
         [](UsbDevice& d) { return USB2SER_SendBreak(d, true, false); },
         {"21 23 FFFF 0000 0000"}},
        {"SEND_BREAK off",
         [](UsbDevice& d) { return USB2SER_SendBreak(d, false, false); },
         {"21 23 0000 0000 0000"}},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(3);
        rig.Configure();
        EXPECT_EQ(c.call(*rig.dev), STATUS_SUCCESS);
        EXPECT_EQ(rig.Wire(), c.wire);
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
    }
}

TEST(TransportRequests, OutDataStagesCarryTheirBytes) {
    Rig rig(2);
    rig.Configure();
    ASSERT_EQ(USB2SER_SetFeature(*rig.dev, 0x0201), STATUS_SUCCESS);
    ASSERT_EQ(USB2SER_SetLineCoding(*rig.dev, LineCoding{0x80000468, 2, 4, 7}), STATUS_SUCCESS);
    const auto log = rig.chip.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].data, (std::vector<std::uint8_t>{0x01, 0x02}));
    EXPECT_EQ(log[1].data, (std::vector<std::uint8_t>{0x68, 0x04, 0x00, 0x80, 2, 4, 7}));
    for (const WireRecord& r : log) EXPECT_EQ(r.urbLength, kUrbControlLength);
    EXPECT_EQ(rig.chip.CommFeature(), 0x0201);
}

TEST(TransportRequests, VariantGatedRequestsSendNothingOnOlderChips) {
    std::uint8_t two[2] = {};
    const std::vector<std::pair<int, std::function<NTSTATUS(UsbDevice&)>>> gated = {
        {2, [](UsbDevice& d) { return USB2SER_ResetDataPipe(d, 0); }},
        {2, [](UsbDevice& d) { return USB2SER_SetFlowThreshold(d, 2); }},
        {2, [](UsbDevice& d) { return USB2SER_SetInputSignalConfig(d, 1); }},
        {2, [&](UsbDevice& d) { return USB2SER_GetInputSignalConfig(d, two); }},
        {2, [](UsbDevice& d) { return USB2SER_SetInputSignalData(d, 1); }},
        {2, [&](UsbDevice& d) { return USB2SER_GetInputSignalData(d, two); }},
        {2, [](UsbDevice& d) { return USB2SER_SetXonXoffChars(d, 0x11, 0x13); }},
        {3, [](UsbDevice& d) { return WriteExtendedRegister(d, 0x0C, 1); }},
        {3, [&](UsbDevice& d) { return ReadExtendedRegister(d, 0x0F, two); }},
    };
    for (const DriverPolicy* policy : {&kUsbser2kPolicy, &kUsbser9xPolicy}) {
        for (int variant = 0; variant <= 2; ++variant) {
            for (std::size_t i = 0; i < gated.size(); ++i) {
                if (variant >= gated[i].first) continue;
                SCOPED_TRACE(std::string(policy->name) + " variant " + std::to_string(variant) +
                             " case " + std::to_string(i));
                Rig rig(variant, *policy);
                rig.Configure();
                EXPECT_EQ(gated[i].second(*rig.dev), STATUS_NOT_SUPPORTED);
                EXPECT_TRUE(rig.chip.Log().empty());
            }
        }
    }
}

TEST(TransportRequests, LowerDriverFailuresComeBackUnchanged) {
    Rig rig(2);
    rig.Configure();
    rig.chip.StallWhen([](const WireRecord& r) { return r.value == 0x0B0B; });
    EXPECT_EQ(USB2SER_SetFlowThreshold(*rig.dev, 2), STATUS_UNSUCCESSFUL);
    rig.chip.Unplug();
    EXPECT_EQ(USB2SER_SetFlowThreshold(*rig.dev, 2), STATUS_DEVICE_NOT_CONNECTED);
}

// --- Descriptors and configuration ------------------------------------------------------------

TEST(TransportConfiguration, SingleInterfaceChipMapsPipesInOrder) {
    Rig rig(2);
    ASSERT_EQ(USB2SER_ConfigureDevice(*rig.dev), STATUS_SUCCESS);
    std::vector<std::string> wire;
    for (const WireRecord& r : rig.chip.Log()) wire.push_back(r.ToString());
    EXPECT_EQ(wire, (std::vector<std::string>{
                        "GET_DESCRIPTOR type 2 index 0 lang 0000 length 9",
                        "GET_DESCRIPTOR type 2 index 0 lang 0000 length 39",
                        "SELECT_CONFIGURATION if0",
                    }));
    EXPECT_TRUE(rig.dev->singleInterface);
    EXPECT_TRUE(rig.chip.Configured());
    const auto& pipes = rig.dev->interfaces[0]->Pipes;
    ASSERT_EQ(pipes.size(), 3u);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(rig.dev->PipeHandleOf(p), pipes[p].Handle);
    EXPECT_FALSE(rig.dev->interfaces[1].has_value());
}

TEST(TransportConfiguration, TwoInterfaceChipTakesStatusFromFirstAndDataFromSecond) {
    Rig rig(0, kUsbser9xPolicy);
    ASSERT_EQ(USB2SER_ConfigureDevice(*rig.dev), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.Log().back().ToString(), "SELECT_CONFIGURATION if0 if1");
    EXPECT_FALSE(rig.dev->singleInterface);
    EXPECT_EQ(rig.dev->PipeHandleOf(kPipeStatus), rig.dev->interfaces[0]->Pipes[0].Handle);
    EXPECT_EQ(rig.dev->PipeHandleOf(kPipeTransmit), rig.dev->interfaces[1]->Pipes[0].Handle);
    EXPECT_EQ(rig.dev->PipeHandleOf(kPipeReceive), rig.dev->interfaces[1]->Pipes[1].Handle);

    // The handles reach the right endpoints.
    rig.chip.ClearLog();
    const std::uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(USB2SER_WriteBulk(*rig.dev, data), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.Log().back().ToString(), "BULK_OUT 02 3");
    EXPECT_EQ(rig.chip.Transmitted(), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST(TransportConfiguration, TwoInterfaceRowDependsOnTheVariant) {
    // Variants other than 0 look for class/subclass/protocol 0xFF on both interfaces.
    sim::ChipProfile matching = sim::ChipProfile::ForVariant(2);
    matching.twoInterfaces = true;
    matching.interface0 = matching.interface1 = {0xFF, 0xFF, 0xFF};
    Rig good(matching, kUsbser2kPolicy);
    EXPECT_EQ(USB2SER_ConfigureDevice(*good.dev), STATUS_SUCCESS);

    sim::ChipProfile other = matching;
    other.interface1 = {0x0A, 0x00, 0x00};
    Rig bad(other, kUsbser2kPolicy);
    EXPECT_EQ(USB2SER_ConfigureDevice(*bad.dev), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_NE(bad.chip.Log().back().kind, WireRecord::Kind::SelectConfiguration);
    EXPECT_EQ(bad.kernel.pool().LeakReport(), "");
}

TEST(TransportConfiguration, AllocationFailuresReportTheirCodeAndLeakNothing) {
    // Allocations in order: descriptor URB, configuration buffer, descriptor URB, selection URB.
    const NTSTATUS expected[] = {STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY,
                                 STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS};
    for (std::size_t k = 0; k < std::size(expected); ++k) {
        SCOPED_TRACE(k);
        Rig rig(2);
        rig.kernel.pool().FailAfter(k, 1, kUsbser2kPolicy.poolTag);
        EXPECT_EQ(USB2SER_ConfigureDevice(*rig.dev), expected[k]);
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
        EXPECT_EQ(rig.chip.Configured(), expected[k] == STATUS_SUCCESS);
    }
}

TEST(TransportConfiguration, UnconfigureAndRemoteWakeup) {
    Rig rig(2);
    rig.Configure();
    ASSERT_EQ(USB2SER_ControlRemoteWakeup(*rig.dev, true), STATUS_SUCCESS);
    EXPECT_TRUE(rig.chip.RemoteWakeup());
    ASSERT_EQ(USB2SER_ControlRemoteWakeup(*rig.dev, false), STATUS_SUCCESS);
    EXPECT_FALSE(rig.chip.RemoteWakeup());
    ASSERT_EQ(USB2SER_StopDevice(*rig.dev), STATUS_SUCCESS);
    EXPECT_FALSE(rig.chip.Configured());
    std::vector<std::string> wire;
    for (const WireRecord& r : rig.chip.Log()) wire.push_back(r.ToString());
    EXPECT_EQ(wire, (std::vector<std::string>{"SET_FEATURE 1", "CLEAR_FEATURE 1", "UNCONFIGURE"}));
}

TEST(TransportConfiguration, StringAndDeviceDescriptorsComeBackWhole) {
    Rig rig(3);
    std::uint8_t buffer[64] = {2};
    std::uint32_t bytes = 0;
    ASSERT_EQ(USB2SER_GetStringDescriptor(*rig.dev, buffer, bytes), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.Log().back().ToString(),
              "GET_DESCRIPTOR type 3 index 2 lang 0409 length 64");
    ASSERT_GE(bytes, 2u + 2 * 23);
    EXPECT_EQ(buffer[2 + 2 * 22], 'C');  // what makes it variant 3
    std::uint8_t device[18];
    ASSERT_EQ(USB2SER_GetDeviceDescriptor(*rig.dev, device, bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 18u);
    EXPECT_EQ(device[7], 64);
}

TEST(DescriptorParsing, MalformedDescriptorsEndTheWalkInsideTheBuffer) {
    const std::vector<std::vector<std::uint8_t>> broken = {
        {9, 2, 18, 0, 1, 1, 0, 0, 0, 0, 4},           // zero-length descriptor
        {9, 2, 18, 0, 1, 1, 0, 0, 0, 200, 4, 0, 0},   // runs past the end
        {9, 2, 18, 0, 1, 1, 0, 0, 0, 5, 4, 0, 0, 3},  // interface descriptor too short
        {},
    };
    for (const auto& config : broken) {
        EXPECT_FALSE(ParseConfigurationDescriptor(config, 0, -1, -1, -1, -1, -1).has_value());
    }
    const std::vector<std::uint8_t> good = {9, 2,    25, 0, 1, 1, 0, 0,    0, 9,  4, 0, 0,
                                            1, 0xFF, 0,  0, 0, 7, 5, 0x81, 3, 10, 0, 1};
    auto iface = ParseConfigurationDescriptor(good, 0, -1, -1, -1, -1, -1);
    ASSERT_TRUE(iface.has_value());
    EXPECT_EQ(iface->Class, 0xFF);
    EXPECT_FALSE(ParseConfigurationDescriptor(good, 0, -1, -1, 0x02, -1, -1).has_value());
    ASSERT_EQ(InterfaceEndpoints(good, *iface).size(), 1u);
}

// --- Synchronous submission and its time-out --------------------------------------------------

TEST(TransportSync, RequestThatNeverCompletesTimesOutAfterThePolicyTimeAndIsCancelled) {
    for (const DriverPolicy* policy : {&kUsbser2kPolicy, &kUsbser9xPolicy}) {
        SCOPED_TRACE(policy->name);
        Rig rig(2, *policy);
        rig.Configure();
        rig.chip.HangWhen([](const WireRecord&) { return true; });
        EXPECT_EQ(USB2SER_SendEncap(*rig.dev, 1, 2), STATUS_IO_TIMEOUT);
        EXPECT_EQ(rig.kernel.Now(), policy->syncTimeout);
        EXPECT_EQ(rig.chip.PendingCount(), 0u);  // cancelled and completed
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
        // The next request goes through normally.
        EXPECT_EQ(USB2SER_SendEncap(*rig.dev, 1, 2), STATUS_SUCCESS);
    }
}

TEST(TransportSync, WaiterBlocksUntilTheDeadlineOrTheCompletion) {
    Rig rig(2);
    rig.Configure();
    rig.kernel.SetAutoAdvance(false);

    // Completed late but in time.
    rig.chip.SetDeferred(true);
    NTSTATUS result = STATUS_PENDING;
    std::thread caller([&] { result = USB2SER_SendEncap(*rig.dev, 5, 6); });
    rig.kernel.WaitForBlockedWaiters(1);
    rig.kernel.Advance(3 * kSecond - 1);
    rig.kernel.WaitForBlockedWaiters(1);
    EXPECT_TRUE(rig.chip.CompleteOne());
    caller.join();
    EXPECT_EQ(result, STATUS_SUCCESS);

    // Never completed: the time-out comes exactly at 3 s.
    rig.chip.SetDeferred(false);
    rig.chip.HangWhen([](const WireRecord&) { return true; });
    const TimeUnits start = rig.kernel.Now();
    std::thread hung([&] { result = USB2SER_SendEncap(*rig.dev, 5, 6); });
    rig.kernel.WaitForBlockedWaiters(1);
    rig.kernel.Advance(3 * kSecond - 1);
    rig.kernel.WaitForBlockedWaiters(1);
    EXPECT_EQ(rig.chip.PendingCount(), 1u);
    rig.kernel.Advance(1);
    hung.join();
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    EXPECT_EQ(rig.kernel.Now() - start, 3 * kSecond);
    EXPECT_EQ(rig.chip.PendingCount(), 0u);
}

TEST(TransportSync, RequestsThatCannotBeAllocatedAreNotSent) {
    Rig rig(2);
    rig.Configure();
    rig.kernel.pool().FailAll(kIrpPoolTag);
    EXPECT_EQ(USB2SER_SendEncap(*rig.dev, 1, 2), STATUS_NO_MEMORY);
    rig.kernel.pool().FailAll(kUsbser2kPolicy.poolTag);
    EXPECT_EQ(USB2SER_SendEncap(*rig.dev, 1, 2), STATUS_NO_MEMORY);
    rig.kernel.pool().StopFailing();
    EXPECT_TRUE(rig.chip.Log().empty());
    EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
}

// --- EEPROM -------------------------------------------------------------------------------------

TEST(TransportEeprom, WritePollsTheBusyBitBeforeEveryByte) {
    Rig rig(2);
    rig.Configure();
    rig.chip.SetEepromBusyReads(2);
    const std::uint8_t buffer[] = {0x10, 0xAA, 0xBB};
    ASSERT_EQ(USB2SER_EEPROM_Write(*rig.dev, buffer), STATUS_SUCCESS);
    EXPECT_EQ(rig.Wire(), (std::vector<std::string>{
                              "C0 01 8484 0000 0001",
                              "C0 01 8484 0000 0001",
                              "C0 01 8484 0000 0001",
                              "40 01 0303 AA10 0000",
                              "C0 01 8484 0000 0001",
                              "C0 01 8484 0000 0001",
                              "C0 01 8484 0000 0001",
                              "40 01 0303 BB11 0000",
                          }));
    EXPECT_EQ(rig.chip.Eeprom(0x10), 0xAA);
    EXPECT_EQ(rig.chip.Eeprom(0x11), 0xBB);
    EXPECT_EQ(rig.chip.EepromWritesWhileBusy(), 0);
    EXPECT_EQ(rig.kernel.Now(), 6 * 5 * kMillisecond);  // 5 ms before each status read
}

TEST(TransportEeprom, AddressOnlyWriteSendsNothing) {
    Rig rig(2);
    rig.Configure();
    const std::uint8_t buffer[] = {0x40};
    EXPECT_EQ(USB2SER_EEPROM_Write(*rig.dev, buffer), STATUS_SUCCESS);
    EXPECT_TRUE(rig.chip.Log().empty());
}

TEST(TransportEeprom, ChipThatStaysBusyEndsTheWriteWithATimeout) {
    Rig rig(2);
    rig.Configure();
    rig.chip.SetEepromBusyReads(1 << 30);
    const std::uint8_t buffer[] = {0x00, 0x01};
    EXPECT_EQ(USB2SER_EEPROM_Write(*rig.dev, buffer), STATUS_IO_TIMEOUT);
    EXPECT_EQ(rig.Wire().size(), static_cast<std::size_t>(kEepromBusyPollLimit));
    EXPECT_EQ(rig.chip.Eeprom(0), 0xFF);
}

TEST(TransportEeprom, ReadSetsTheAddressOfEveryByte) {
    Rig rig(2);
    rig.Configure();
    rig.chip.SetEepromMarker(0x20);
    std::uint8_t out[2] = {};
    std::uint32_t bytes = 0;
    ASSERT_EQ(USB2SER_EEPROM_ReadData(*rig.dev, 0x20, out, bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(out[0], 0x71);
    EXPECT_EQ(out[1], 0x3A);
    EXPECT_EQ(rig.Wire(), (std::vector<std::string>{
                              "C0 01 8484 0000 0001",
                              "40 01 0404 0020 0000",
                              "C0 01 8484 0000 0001",
                              "C0 01 8383 0000 0001",
                              "C0 01 8484 0000 0001",
                              "40 01 0404 0021 0000",
                              "C0 01 8484 0000 0001",
                              "C0 01 8383 0000 0001",
                          }));
}

TEST(TransportEeprom, FailedByteMakesTheReadReturnNothing) {
    for (int failing : {1, 2}) {  // the first or the last of two bytes
        SCOPED_TRACE(failing);
        Rig rig(2);
        rig.Configure();
        rig.chip.StallWhen([n = 0, failing](const WireRecord& r) mutable {
            return r.value == 0x8383 && ++n == failing;
        });
        std::uint8_t out[2] = {};
        std::uint32_t bytes = 99;
        EXPECT_EQ(USB2SER_EEPROM_ReadData(*rig.dev, 0, out, bytes), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bytes, 0u);
    }
}

struct MarkerCase {
    const DriverPolicy* policy;
    int variant;
    int marker;  // -1: none
    bool expected;
    std::vector<int> starts;  // read start addresses tried
};

TEST(TransportEeprom, MarkerIsLookedForAtTheVariantsAddresses) {
    const std::vector<MarkerCase> cases = {
        {&kUsbser2kPolicy, 0, 0, true, {0}},
        {&kUsbser2kPolicy, 2, 32, false, {0}},
        {&kUsbser2kPolicy, 3, 96, true, {0, 32, 64, 96}},
        {&kUsbser2kPolicy, 3, -1, false, {0, 32, 64, 96, 128, 160}},
        {&kUsbser2kPolicy, 4, 96, true, {0, 96}},
        {&kUsbser2kPolicy, 4, 32, false, {0, 96}},
        {&kUsbser9xPolicy, 3, 160, true, {0, 32, 64, 96, 128, 160}},
        {&kUsbser9xPolicy, 1, -1, false, {0}},
    };
    for (const MarkerCase& c : cases) {
        SCOPED_TRACE(std::string(c.policy->name) + " variant " + std::to_string(c.variant) +
                     " marker " + std::to_string(c.marker));
        Rig rig(c.variant, *c.policy);
        rig.Configure();
        if (c.marker >= 0) rig.chip.SetEepromMarker(static_cast<std::uint8_t>(c.marker));
        EXPECT_EQ(USB2SER_IsEEPROM3A71(*rig.dev), c.expected);
        std::vector<int> addresses;
        for (const WireRecord& r : rig.chip.Log()) {
            if (r.kind == WireRecord::Kind::Control && r.value == 0x0404)
                addresses.push_back(r.index);
        }
        std::vector<int> expected;
        for (int start : c.starts) expected.insert(expected.end(), {start, start + 1});
        EXPECT_EQ(addresses, expected);
    }
}

// --- Resets -------------------------------------------------------------------------------------

TEST(TransportResets, PipeResetIsSentOnlyWhereTheDriverAndVariantDoIt) {
    struct Case {
        const DriverPolicy* policy;
        int variant;
        std::vector<std::string> wire;
    };
    const std::vector<Case> cases = {
        {&kUsbser2kPolicy, 1, {}},
        {&kUsbser2kPolicy, 3, {}},
        {&kUsbser9xPolicy, 2, {}},
        {&kUsbser9xPolicy, 1, {"RESET_PIPE 81", "RESET_PIPE 83"}},
        {&kUsbser9xPolicy, 0, {"RESET_PIPE 81", "RESET_PIPE 83"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.policy->name) + " variant " + std::to_string(c.variant));
        Rig rig(c.variant, *c.policy);
        rig.Configure();
        EXPECT_EQ(USB2SER_ResetPipe(*rig.dev, kPipeStatus), STATUS_SUCCESS);
        EXPECT_EQ(USB2SER_ResetPipe(*rig.dev, kPipeReceive), STATUS_SUCCESS);
        std::vector<std::string> wire;
        for (const WireRecord& r : rig.chip.Log()) wire.push_back(r.ToString());
        EXPECT_EQ(wire, c.wire);
    }
}

TEST(TransportResets, PortResetGoesToTheBus) {
    Rig rig(2);
    EXPECT_EQ(USB2SER_ResetDevice(*rig.dev), STATUS_SUCCESS);
    EXPECT_EQ(rig.chip.PortResets(), 1);
    EXPECT_EQ(rig.chip.Log().back().kind, WireRecord::Kind::ResetPort);
}

// --- Asynchronous pipe transfers ------------------------------------------------------------

struct Delivery {
    int pipe;
    NTSTATUS status;
    std::vector<std::uint8_t> data;
};

class RecordingSink : public TransferSink {
public:
    void OnTransferComplete(UsbDevice&, int pipe, NTSTATUS status,
                            std::span<const std::uint8_t> data) override {
        std::lock_guard lock(mutex);
        deliveries.push_back({pipe, status, {data.begin(), data.end()}});
    }
    std::vector<Delivery> Take() {
        std::lock_guard lock(mutex);
        return std::move(deliveries);
    }
    std::mutex mutex;
    std::vector<Delivery> deliveries;
};

TEST(TransportAsync, StandingReadsDeliverWhatArrivesAndFreeEverything) {
    Rig rig(2);
    rig.Configure();
    RecordingSink sink;
    rig.dev->sink = &sink;
    EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize),
              STATUS_PENDING);
    EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeStatus, nullptr, kStatusTransferSize),
              STATUS_PENDING);
    EXPECT_EQ(rig.dev->dataIoCount.Value(), 2);
    EXPECT_TRUE(rig.dev->PipeBusy(kPipeReceive));

    const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    rig.chip.InjectReceive(hello);
    rig.chip.InjectStatus({0, 0, 0, 0, 0, 0, 0, 0, 0x83, 0});
    auto got = sink.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].pipe, kPipeReceive);
    EXPECT_EQ(got[0].data, std::vector<std::uint8_t>(std::begin(hello), std::end(hello)));
    EXPECT_EQ(got[1].pipe, kPipeStatus);
    EXPECT_EQ(got[1].data.size(), 10u);
    EXPECT_EQ(got[1].data[8], 0x83);
    EXPECT_EQ(rig.dev->dataIoCount.Value(), 0);
    EXPECT_FALSE(rig.dev->PipeBusy(kPipeReceive));
    EXPECT_EQ(rig.kernel.pool().LeakReport(), "");

    const auto log = rig.chip.Log();
    EXPECT_EQ(log[0].transferFlags, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(log[0].length, 384);
    EXPECT_EQ(log[1].transferFlags, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(log[0].urbLength, kUrbBulkOrInterruptLength);
}

TEST(TransportAsync, TransmitSendsACopyOfTheCallersBytes) {
    Rig rig(2);
    rig.Configure();
    std::uint8_t data[] = {1, 2, 3, 4};
    EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeTransmit, data, 4), STATUS_SUCCESS);
    data[0] = 9;
    EXPECT_EQ(rig.chip.Transmitted(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(rig.chip.Log().back().transferFlags, 0u);
}

TEST(TransportAsync, DataIoEventFollowsEachDriversIdleLevel) {
    for (const DriverPolicy* policy : {&kUsbser2kPolicy, &kUsbser9xPolicy}) {
        SCOPED_TRACE(policy->name);
        Rig rig(2, *policy);
        rig.Configure();
        rig.chip.HangWhen([](const WireRecord& r) { return r.kind == WireRecord::Kind::BulkOut; });
        USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize);
        EXPECT_EQ(rig.dev->dataIoCount.IdleEvent().ReadState(), policy->dataIoIdleLevel >= 1);
        USB2SER_AsyncTransfer(*rig.dev, kPipeStatus, nullptr, kStatusTransferSize);
        const std::uint8_t byte = 0x55;
        USB2SER_AsyncTransfer(*rig.dev, kPipeTransmit, &byte, 1);
        EXPECT_EQ(rig.dev->dataIoCount.Value(), 3);
        EXPECT_FALSE(rig.dev->dataIoCount.IdleEvent().ReadState());
        CancelTheIrp(*rig.dev, kPipeTransmit);
        EXPECT_EQ(rig.dev->dataIoCount.IdleEvent().ReadState(), policy->dataIoIdleLevel >= 2);
        USB2SER_CancelAllIrps(*rig.dev);
        EXPECT_EQ(rig.dev->dataIoCount.Value(), 0);
        EXPECT_TRUE(rig.dev->dataIoCount.IdleEvent().ReadState());
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
        EXPECT_EQ(rig.kernel.pool().BadFrees(), 0u);
    }
}

TEST(TransportAsync, CancelAndUnplugCompleteStandingTransfersWithTheirStatus) {
    Rig rig(2);
    rig.Configure();
    RecordingSink sink;
    rig.dev->sink = &sink;
    USB2SER_AsyncTransfer(*rig.dev, kPipeStatus, nullptr, kStatusTransferSize);
    USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize);
    USB2SER_CancelAllIrps(*rig.dev);
    auto got = sink.Take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].pipe, kPipeStatus);  // in pipe order
    EXPECT_EQ(got[0].status, STATUS_CANCELLED);
    EXPECT_EQ(got[1].status, STATUS_CANCELLED);
    EXPECT_TRUE(got[1].data.empty());

    USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize);
    rig.chip.Unplug();
    got = sink.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
    EXPECT_EQ(rig.kernel.pool().BadFrees(), 0u);
}

TEST(TransportAsync, AllocationFailuresSubmitNothingAndLeakNothing) {
    struct Case {
        std::size_t skip;
        std::uint32_t tag;
    };
    // Context, data buffer (driver tag), then the packet.
    const Case cases[] = {
        {0, kUsbser2kPolicy.poolTag}, {1, kUsbser2kPolicy.poolTag}, {0, kIrpPoolTag}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skip);
        Rig rig(2);
        rig.Configure();
        rig.kernel.pool().FailAfter(c.skip, 1, c.tag);
        const std::uint8_t byte = 1;
        EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeTransmit, &byte, 1), STATUS_NO_MEMORY);
        EXPECT_TRUE(rig.chip.Log().empty());
        EXPECT_EQ(rig.dev->dataIoCount.Value(), 0);
        EXPECT_FALSE(rig.dev->PipeBusy(kPipeTransmit));
        EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
    }
}

TEST(TransportAsync, TransferBeforeConfigurationIsRefused) {
    Rig rig(2);
    EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, 384),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(USB2SER_AsyncTransfer(*rig.dev, 3, nullptr, 384), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(rig.chip.Log().empty());
}

// The canceller arrives after the bus has taken the request up (its cancel routine is gone) and
// before the completion routine runs: the canceller must leave the packet to the completion.
TEST(TransportAsync, CancelInsideTheCompletionWindowLeavesTheFreeToTheCompletion) {
    Rig rig(2);
    rig.Configure();
    RecordingSink sink;
    rig.dev->sink = &sink;
    ASSERT_EQ(USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize),
              STATUS_PENDING);
    int cancels = 0;
    rig.chip.SetBeforeComplete([&](Irp*) {
        if (cancels++ == 0) CancelTheIrp(*rig.dev, kPipeReceive);
    });
    const std::uint8_t byte = 0x5A;
    rig.chip.InjectReceive(std::span(&byte, 1));
    const auto got = sink.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, STATUS_SUCCESS);  // the cancel came too late to matter
    EXPECT_EQ(got[0].data, std::vector<std::uint8_t>{0x5A});
    EXPECT_EQ(rig.kernel.pool().BadFrees(), 0u);
    EXPECT_EQ(rig.kernel.pool().LeakReport(), "");
    EXPECT_FALSE(rig.dev->PipeBusy(kPipeReceive));
    EXPECT_EQ(rig.dev->dataIoCount.Value(), 0);
}

// A completion and a canceller meet on the same packet: whichever comes second frees it, once.
// Two threads are released together on every round, one completing and one cancelling.
TEST(TransportAsync, CancelRacingCompletionFreesThePacketExactlyOnce) {
    constexpr int kRounds = 2000;
    Rig rig(2);
    rig.Configure();
    RecordingSink sink;
    rig.dev->sink = &sink;

    std::atomic<int> round{0};
    std::atomic<int> finished{0};
    auto worker = [&](bool completes) {
        for (int r = 1; r <= kRounds; ++r) {
            while (round.load() < r) std::this_thread::yield();
            // A different head start each round, so that either side may come first and the
            // two may meet in the middle of the exchange.
            const unsigned spin =
                (static_cast<unsigned>(r) * (completes ? 2654435761u : 40503u)) % 3000;
            std::atomic<unsigned> delay{0};
            while (delay.fetch_add(1, std::memory_order_relaxed) < spin) {
            }
            if (completes) {
                const auto byte = static_cast<std::uint8_t>(r);
                rig.chip.InjectReceive(std::span(&byte, 1));
            } else {
                CancelTheIrp(*rig.dev, kPipeReceive);
            }
            finished.fetch_add(1);
        }
    };
    std::thread completer(worker, true);
    std::thread canceller(worker, false);

    // A failed round stops the rounds; the workers are let run out before they are joined.
    auto checkRound = [&](int r) -> std::string {
        const auto got = sink.Take();
        if (got.size() != 1) return "deliveries: " + std::to_string(got.size());
        if (got[0].status == STATUS_SUCCESS) {
            if (got[0].data != std::vector<std::uint8_t>{static_cast<std::uint8_t>(r)}) {
                return "wrong data";
            }
        } else if (got[0].status != STATUS_CANCELLED) {
            return "status " + std::to_string(got[0].status);
        }
        if (rig.dev->dataIoCount.Value() != 0) return "data I/O count not back to 0";
        if (rig.dev->PipeBusy(kPipeReceive)) return "slot not released";
        if (rig.kernel.pool().BadFrees() != 0) return "packet freed twice";
        if (rig.kernel.pool().OutstandingCount() != 0) return rig.kernel.pool().LeakReport();
        return got[0].status == STATUS_SUCCESS ? "" : "cancelled";
    };
    int completed = 0, cancelled = 0;
    std::string failure;
    for (int r = 1; r <= kRounds && failure.empty(); ++r) {
        rig.chip.ClearReceived();
        const NTSTATUS started =
            USB2SER_AsyncTransfer(*rig.dev, kPipeReceive, nullptr, kReceiveTransferSize);
        round.store(r);
        while (finished.load() < 2 * r) std::this_thread::yield();
        if (started != STATUS_PENDING) {
            failure = "round " + std::to_string(r) + ": not pending";
            break;
        }
        const std::string outcome = checkRound(r);
        if (outcome.empty()) {
            ++completed;
        } else if (outcome == "cancelled") {
            ++cancelled;
        } else {
            failure = "round " + std::to_string(r) + ": " + outcome;
        }
    }
    round.store(kRounds);
    completer.join();
    canceller.join();
    USB2SER_CancelAllIrps(*rig.dev);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(completed + cancelled, kRounds);
    RecordProperty("completed_first", completed);
    RecordProperty("cancelled_first", cancelled);
}

}  // namespace
}  // namespace vm::drv::testing
