// The USB bus base: URBs read as the wire sees them, the configuration fill-in, and the end of a
// kept request meeting its cancel.
#include "driver/platform/usb_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <string>
#include <thread>

namespace vm::drv {
namespace {

std::string SetupText(const UsbSetupPacket& s) {
    char text[32];
    std::snprintf(text, sizeof text, "%02X %02X %04X %04X %04X", s.requestType, s.request, s.value,
                  s.index, s.length);
    return text;
}

// Every request kind the drivers send, built as the transport builds it.
TEST(UsbBusBaseReadUrb, EveryRequestKindTheDriversSendReadsAsOnTheWire) {
    std::uint8_t buffer[64] = {};
    const std::uint8_t config[] = {9, 2, 32,   0, 1,  1,    0, 0xA0, 50,  // configuration
                                   9, 4, 0,    0, 2,  0xFF, 0, 0,    0,   // interface 0
                                   7, 5, 0x02, 2, 64, 0,    0,            // bulk OUT
                                   7, 5, 0x83, 2, 64, 0,    0};           // bulk IN
    using K = UsbRequest::Kind;
    struct Case {
        const char* name;
        void (*build)(Urb&, std::uint8_t* buffer, const std::uint8_t* config);
        K kind;
        const char* setup;  // Control only
        bool in;
        std::size_t dataLength;  // the span over `buffer`
        int endpoint;            // -1: none
    };
    const Case cases[] = {
        {"register write",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             UsbBuildVendorRequest(u, URB_FUNCTION_VENDOR_DEVICE, 0, 0, 1, 0x0003, 0x0044, nullptr,
                                   0);
         },
         K::Control, "40 01 0003 0044 0000", false, 0, -1},
        {"EEPROM status read",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildVendorRequest(u, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0, 1,
                                   0x8484, 0, b, 1);
         },
         K::Control, "C0 01 8484 0000 0001", true, 1, -1},
        {"SET_LINE_CODING",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildVendorRequest(u, URB_FUNCTION_CLASS_INTERFACE, 0, 0, 0x20, 0, 0, b, 7);
         },
         K::Control, "21 20 0000 0000 0007", false, 7, -1},
        {"GET_LINE_CODING",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildVendorRequest(u, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0,
                                   0x21, 0, 0, b, 7);
         },
         K::Control, "A1 21 0000 0000 0007", true, 7, -1},
        {"SET_CONTROL_LINE_STATE",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             UsbBuildVendorRequest(u, URB_FUNCTION_CLASS_INTERFACE, 0, 0, 0x22, 3, 0, nullptr, 0);
         },
         K::Control, "21 22 0003 0000 0000", false, 0, -1},
        {"reserved request-type bits",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             UsbBuildVendorRequest(u, URB_FUNCTION_VENDOR_DEVICE, 0, 0x02, 1, 0x0808, 0, nullptr,
                                   0);
         },
         K::Control, "42 01 0808 0000 0000", false, 0, -1},
        {"device descriptor",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildGetDescriptorRequest(u, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, b, 18);
         },
         K::Control, "80 06 0100 0000 0012", true, 18, -1},
        {"string descriptor",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildGetDescriptorRequest(u, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, b, 64);
         },
         K::Control, "80 06 0302 0409 0040", true, 64, -1},
        {"SET_FEATURE remote wake-up",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             UsbBuildFeatureRequest(u, URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                                    USB_FEATURE_REMOTE_WAKEUP, 0);
         },
         K::Control, "00 03 0001 0000 0000", false, 0, -1},
        {"CLEAR_FEATURE remote wake-up",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             UsbBuildFeatureRequest(u, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                                    USB_FEATURE_REMOTE_WAKEUP, 0);
         },
         K::Control, "00 01 0001 0000 0000", false, 0, -1},
        {"bulk OUT",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildInterruptOrBulkTransferRequest(u, UsbPipeHandle(0x02), b, 5, 0);
         },
         K::Transfer, nullptr, false, 5, 0x02},
        {"bulk IN",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildInterruptOrBulkTransferRequest(
                 u, UsbPipeHandle(0x83), b, 64,
                 USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
         },
         K::Transfer, nullptr, true, 64, 0x83},
        {"interrupt IN",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildInterruptOrBulkTransferRequest(
                 u, UsbPipeHandle(0x81), b, 10,
                 USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
         },
         K::Transfer, nullptr, true, 10, 0x81},
        {"a pipe handle no bus gave",
         [](Urb& u, std::uint8_t* b, const std::uint8_t*) {
             UsbBuildInterruptOrBulkTransferRequest(u, 0x83, b, 64, USBD_TRANSFER_DIRECTION_IN);
         },
         K::Transfer, nullptr, false, 64, -1},
        {"pipe reset",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             UsbBuildResetPipeRequest(u, UsbPipeHandle(0x81));
         },
         K::ResetPipe, nullptr, false, 0, 0x81},
        {"select configuration",
         [](Urb& u, std::uint8_t*, const std::uint8_t* c) {
             u.Hdr = UrbHeader{80, URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_SUCCESS};
             UrbSelectConfiguration s;
             s.ConfigurationDescriptor = c;
             s.ConfigurationDescriptorLength = 32;
             u.Body = s;
         },
         K::SelectConfiguration, nullptr, false, 0, -1},
        {"unconfigure",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             u.Hdr = UrbHeader{24, URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_SUCCESS};
             u.Body = UrbSelectConfiguration{};
         },
         K::Unconfigure, nullptr, false, 0, -1},
        {"unknown function",
         [](Urb& u, std::uint8_t*, const std::uint8_t*) {
             u.Hdr = UrbHeader{24, 0x0002, USBD_STATUS_SUCCESS};
         },
         K::Unsupported, nullptr, false, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Urb urb;
        c.build(urb, buffer, config);
        const UsbRequest r = ReadUrb(urb);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.function, urb.Hdr.Function);
        EXPECT_EQ(r.urbLength, urb.Hdr.Length);
        if (c.setup) {
            EXPECT_EQ(SetupText(r.setup), c.setup);
        }
        EXPECT_EQ(r.In(), c.in);
        EXPECT_EQ(r.data.size(), c.dataLength);
        if (c.dataLength) {
            EXPECT_EQ(r.data.data(), buffer);
        }
        EXPECT_EQ(r.endpoint.has_value(), c.endpoint >= 0);
        if (r.endpoint && c.endpoint >= 0) {
            EXPECT_EQ(*r.endpoint, c.endpoint);
        }
        if (c.kind == K::SelectConfiguration || c.kind == K::Unconfigure) {
            EXPECT_EQ(r.configuration, &urb.As<UrbSelectConfiguration>());
        }
    }
}

// A bus that keeps every transfer until the test ends it, and answers the rest at once.
class KeepingBus : public UsbBusBase {
public:
    // libusb-like: a cancel asks the transfer to stop and waits for its end; otherwise the
    // simulated chip's way: the cancel completes the request at once.
    explicit KeepingBus(bool cancelWaitsForEnd) : cancelWaitsForEnd_(cancelWaitsForEnd) {}

    // The kept transfer ends with one byte (or cancelled, when a cancel asked it to stop).
    void TransferEnds(Irp* irp) {
        const bool stopped = stopAsked_.exchange(false);
        Ended(irp, stopped ? kCancelled : Result{STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1});
    }
    // Data arrives for the oldest kept transfer that can still be taken; false when none can.
    bool DataArrives() {
        Completions done;
        bool taken = false;
        {
            MutexLock lock(mutex_);
            for (std::size_t i = 0; i < pending_.size() && !taken; ++i) {
                Kept k;
                if (!Take(i, k)) continue;
                done.Add(k.irp, k.urb, {STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1});
                taken = true;
            }
        }
        Finish(done);
        return taken;
    }
    using UsbBusBase::FillConfiguration;
    Mutex& mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }
    PipeType TypeOf(std::uint8_t endpoint) const { return PipeTypeOf(endpoint); }

private:
    void Carry(Irp* irp, Urb* urb, UsbRequest& request, Completions& done) override {
        if (request.kind != UsbRequest::Kind::Transfer) {
            done.Add(irp, urb, {STATUS_SUCCESS, USBD_STATUS_SUCCESS, request.data.size()});
            return;
        }
        MutexLock lock(mutex_);
        stopAsked_.store(false);
        Keep(irp, urb, request, 0, nullptr, done);
    }
    NTSTATUS ResetDevice() override { return STATUS_SUCCESS; }
    bool CancelInFlight(Kept&) override {
        if (!cancelWaitsForEnd_) return false;
        stopAsked_.store(true);
        return true;
    }

    const bool cancelWaitsForEnd_;
    std::atomic<bool> stopAsked_{false};
};

struct Submitted {
    Irp* irp = nullptr;
    Urb urb;
    std::uint8_t byte = 0;
    std::atomic<int> completions{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<Irql> completedAt{Irql::Passive};
    NTSTATUS returned = STATUS_PENDING;

    static NTSTATUS OnComplete(DeviceObject*, Irp* irp, void* context) {
        auto* s = static_cast<Submitted*>(context);
        s->status.store(irp->IoStatus.Status);
        s->completedAt.store(KeGetCurrentIrql());
        s->completions.fetch_add(1);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    Submitted(Kernel& kernel, DeviceObject* pdo, PipeHandle pipe) {
        irp = IoAllocateIrp(kernel, pdo->StackSize);
        UsbBuildInterruptOrBulkTransferRequest(urb, pipe, &byte, 1, USBD_TRANSFER_DIRECTION_IN);
        IoStackLocation* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, &Submitted::OnComplete, this, true, true, true);
        returned = IoCallDriver(pdo, irp);
    }
    ~Submitted() { IoFreeIrp(irp); }
};

TEST(UsbBusBaseConfiguration, FillsPipesWithTheBusHandlesAndKnowsTheirTypes) {
    const std::uint8_t config[] = {9, 2,    39, 0,  1, 1, 0, 0xA0, 50,   9,  4,  0, 0,
                                   3, 0xFF, 0,  0,  0, 7, 5, 0x81, 3,    10, 0,  1, 7,
                                   5, 0x02, 2,  64, 0, 0, 7, 5,    0x83, 2,  64, 0, 0};
    KeepingBus bus(false);
    UrbSelectConfiguration s;
    s.ConfigurationDescriptor = config;
    s.ConfigurationDescriptorLength = sizeof config;
    s.Interfaces.resize(1);
    s.Interfaces[0].Pipes.resize(3);
    {
        MutexLock lock(bus.mutex());
        ASSERT_TRUE(bus.FillConfiguration(s));
    }
    const auto& pipes = s.Interfaces[0].Pipes;
    EXPECT_EQ(pipes[0].Handle, UsbPipeHandle(0x81));
    EXPECT_EQ(pipes[2].Handle, UsbPipeHandle(0x83));
    EXPECT_EQ(UsbPipeEndpoint(pipes[1].Handle), std::optional<std::uint8_t>(0x02));
    EXPECT_EQ(pipes[0].MaximumPacketSize, 10);
    EXPECT_NE(s.ConfigurationHandle, 0u);
    EXPECT_EQ(bus.TypeOf(0x81), PipeType::Interrupt);
    EXPECT_EQ(bus.TypeOf(0x83), PipeType::Bulk);

    // A record whose pipes do not match the descriptor is refused.
    s.Interfaces[0].Pipes.resize(2);
    MutexLock lock(bus.mutex());
    EXPECT_FALSE(bus.FillConfiguration(s));
}

// A kept transfer's end and its cancel, released together from two threads, over and over:
// each request completes exactly once, at dispatch level, with its byte or cancelled, and no
// request is left kept. Both ways a bus can cancel: at once (the simulated chip) and by asking
// the transfer to stop and waiting for its end (libusb).
TEST(UsbBusBaseCancel, EndRacingCancelCompletesEachRequestOnce) {
    for (const bool cancelWaitsForEnd : {false, true}) {
        SCOPED_TRACE(cancelWaitsForEnd ? "cancel waits for the end" : "cancel completes at once");
        Kernel kernel;
        UsbBusDriver busDriver{kernel};
        KeepingBus bus(cancelWaitsForEnd);
        DeviceObject* pdo = busDriver.CreatePdo(bus);
        int cancelled = 0;
        constexpr int kRounds = 400;
        for (int round = 0; round < kRounds; ++round) {
            Submitted s(kernel, pdo, UsbPipeHandle(0x83));
            ASSERT_EQ(s.returned, STATUS_PENDING);
            ASSERT_EQ(bus.PendingCount(), 1u);
            std::latch go(2);
            std::thread ender([&] {
                go.arrive_and_wait();
                if (round % 3 == 0) std::this_thread::yield();
                if (cancelWaitsForEnd) {
                    bus.TransferEnds(s.irp);
                } else {
                    bus.DataArrives();
                }
            });
            go.arrive_and_wait();
            if (round % 3 == 1) std::this_thread::yield();
            IoCancelIrp(s.irp);
            ender.join();
            ASSERT_EQ(s.completions.load(), 1) << "round " << round;
            const NTSTATUS status = s.status.load();
            ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << round;
            EXPECT_EQ(s.urb.As<UrbBulkOrInterruptTransfer>().TransferBufferLength,
                      status == STATUS_SUCCESS ? 1u : 0u);
            EXPECT_EQ(s.completedAt.load(), Irql::Dispatch);
            if (status == STATUS_CANCELLED) ++cancelled;
            ASSERT_EQ(bus.PendingCount(), 0u) << "round " << round;
        }
        std::printf("%s: %d of %d cancelled\n",
                    cancelWaitsForEnd ? "cancel waits for the end" : "cancel at once", cancelled,
                    kRounds);
    }
}

// A request cancelled before it reached the bus completes cancelled and, having been marked
// pending when it was kept, is reported pending.
TEST(UsbBusBaseCancel, ARequestCancelledBeforeItIsKeptCompletesCancelled) {
    Kernel kernel;
    UsbBusDriver busDriver{kernel};
    KeepingBus bus(false);
    DeviceObject* pdo = busDriver.CreatePdo(bus);
    Irp* irp = IoAllocateIrp(kernel, pdo->StackSize);
    irp->Cancel.store(true);
    Urb urb;
    std::uint8_t byte = 0;
    UsbBuildInterruptOrBulkTransferRequest(urb, UsbPipeHandle(0x83), &byte, 1,
                                           USBD_TRANSFER_DIRECTION_IN);
    IoStackLocation* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    std::atomic<int> completions{0};
    IoSetCompletionRoutine(
        irp,
        [](DeviceObject*, Irp*, void* context) -> NTSTATUS {
            static_cast<std::atomic<int>*>(context)->fetch_add(1);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &completions, true, true, true);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    EXPECT_EQ(completions.load(), 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->PendingReturned);
    EXPECT_EQ(bus.PendingCount(), 0u);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace vm::drv
