/* The external port driver, as usbser9x's exports see it: loads the shared library by name,
 * finds the fourteen functions and the entry point, and calls them in the order a port driver
 * does (callbacks, open, settings, writes, received data, status, close), against the test host's
 * simulated system and cable. Every check that fails is printed; the exit status is the number
 * of failures. */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "driver/usbser9x/usbser9x_entry.h"
#include "tests/driver/usbser9x/host/vm9x_simhost.h"

static int failures = 0;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            ++failures;                                                              \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                            \
    } while (0)

static struct {
    VM9X_BOOL (*COMOpenedForSerport)(uint8_t, uint32_t);
    VM9X_BOOL (*ReadForSerport)(uint32_t, uint8_t, uint32_t);
    VM9X_BOOL (*WriteForSerport)(const uint8_t*, uint32_t, uint32_t);
    VM9X_BOOL (*KickTxForSerport)(uint32_t);
    VM9X_BOOL (*GetStateForSerport)(void*, uint32_t);
    VM9X_BOOL (*SetStateForSerport)(void*, uint32_t, uint32_t);
    VM9X_BOOL (*SetControlLineForSerport)(uint8_t, uint32_t, uint32_t);
    VM9X_BOOL (*SetBreakForSerport)(uint8_t, uint32_t);
    VM9X_BOOL (*ExtBaudrateForSerport)(const char*);
    VM9X_BOOL (*GetIntStatusForSerport)(uint32_t, uint32_t);
    VM9X_BOOL (*SetMSRShadowForSerport)(Vm9xStatusFn);
    VM9X_BOOL (*SetReadQueueForSerport)(Vm9xReceiveFn);
    VM9X_BOOL (*CableRemoveForSerport)(Vm9xComFn);
    VM9X_BOOL (*WriteOutQueueForSerport)(Vm9xComFn);
    Vm9xDriverEntryFn entry;
} api;

/* What the callbacks saw. */
static atomic_int statusCalls;
static atomic_uint lastStatus;
static atomic_int receiveCalls;
static atomic_int writeOuts;
static atomic_int removedCom;
static atomic_int writeFromCallback; /* -1 not tried, else the result */
static atomic_int tryWriteInCallback;
static unsigned char received[1024];
static atomic_size_t receivedLength;

static void OnStatus(const uint16_t* status, uint32_t com) {
    (void)com;
    atomic_store(&lastStatus, *status);
    atomic_fetch_add(&statusCalls, 1);
}

static void OnReceive(const uint8_t* data, uint32_t length, uint32_t com) {
    size_t at = atomic_load(&receivedLength);
    if (at + length <= sizeof received) {
        memcpy(received + at, data, length);
        atomic_store(&receivedLength, at + length);
    }
    atomic_fetch_add(&receiveCalls, 1);
    if (atomic_exchange(&tryWriteInCallback, 0)) {
        /* A port driver answering from its receive routine, at raised level. */
        static const uint8_t ack = 0x06;
        atomic_store(&writeFromCallback, api.WriteForSerport(&ack, 1, com) ? 1 : 0);
    }
}

static void OnWriteOut(uint32_t com) {
    (void)com;
    atomic_fetch_add(&writeOuts, 1);
}

static void OnRemoved(uint32_t com) {
    atomic_store(&removedCom, (int)com);
}

/* Waits (real time, at most two seconds) until the counter reaches the value. */
static int WaitFor(atomic_int* counter, int value) {
    for (int i = 0; i < 2000; ++i) {
        if (atomic_load(counter) >= value) return 1;
        struct timespec ms = {0, 1000000};
        nanosleep(&ms, NULL);
    }
    return 0;
}

static void* Symbol(void* lib, const char* name) {
    void* p = dlsym(lib, name);
    if (!p) {
        ++failures;
        fprintf(stderr, "missing export %s\n", name);
    }
    return p;
}

static void PutRate(uint8_t* dcb, uint32_t rate) {
    for (int i = 0; i < 4; ++i) dcb[4 + i] = (uint8_t)(rate >> (8 * i));
}

static uint32_t GetRate(const uint8_t* dcb) {
    return (uint32_t)dcb[4] | (uint32_t)dcb[5] << 8 | (uint32_t)dcb[6] << 16 |
           (uint32_t)dcb[7] << 24;
}

static uint32_t CodingRate(vm9xh_system* sys, int cable) {
    uint8_t coding[7];
    vm9xh_line_coding(sys, cable, coding);
    return (uint32_t)coding[0] | (uint32_t)coding[1] << 8 | (uint32_t)coding[2] << 16 |
           (uint32_t)coding[3] << 24;
}

/* A second port driver thread writing and kicking while the cable gets data and is pulled. */
static atomic_int stop;
static void* Hammer(void* arg) {
    (void)arg;
    static const uint8_t byte = 0x55;
    while (!atomic_load(&stop)) {
        api.WriteForSerport(&byte, 1, 5);
        api.KickTxForSerport(5);
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s libusbser9x.so\n", argv[0]);
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    *(void**)&api.COMOpenedForSerport = Symbol(lib, "COMOpenedForSerport");
    *(void**)&api.ReadForSerport = Symbol(lib, "ReadForSerport");
    *(void**)&api.WriteForSerport = Symbol(lib, "WriteForSerport");
    *(void**)&api.KickTxForSerport = Symbol(lib, "KickTxForSerport");
    *(void**)&api.GetStateForSerport = Symbol(lib, "GetStateForSerport");
    *(void**)&api.SetStateForSerport = Symbol(lib, "SetStateForSerport");
    *(void**)&api.SetControlLineForSerport = Symbol(lib, "SetControlLineForSerport");
    *(void**)&api.SetBreakForSerport = Symbol(lib, "SetBreakForSerport");
    *(void**)&api.ExtBaudrateForSerport = Symbol(lib, "ExtBaudrateForSerport");
    *(void**)&api.GetIntStatusForSerport = Symbol(lib, "GetIntStatusForSerport");
    *(void**)&api.SetMSRShadowForSerport = Symbol(lib, "SetMSRShadowForSerport");
    *(void**)&api.SetReadQueueForSerport = Symbol(lib, "SetReadQueueForSerport");
    *(void**)&api.CableRemoveForSerport = Symbol(lib, "CableRemoveForSerport");
    *(void**)&api.WriteOutQueueForSerport = Symbol(lib, "WriteOutQueueForSerport");
    *(void**)&api.entry = Symbol(lib, "vm9x_DriverEntry");
    if (failures) return failures;
    atomic_store(&writeFromCallback, -1);

    vm9xh_system* sys = vm9xh_create(api.entry);
    CHECK(sys != NULL);
    if (!sys) return failures;

    /* Three cables; the port table holds them under their port names' numbers. */
    const int com12 = vm9xh_plug(sys, 2, "COM12");
    const int com5 = vm9xh_plug(sys, 2, "COM5");
    const int com123 = vm9xh_plug(sys, 3, "COM123");
    CHECK(com12 == 0 && com5 == 1 && com123 == 2);
    CHECK(api.KickTxForSerport(12) && api.KickTxForSerport(5) && api.KickTxForSerport(123));
    CHECK(!api.KickTxForSerport(7));
    CHECK(!api.COMOpenedForSerport(1, 300));
    CHECK(!api.WriteForSerport((const uint8_t*)"x", 1, 300));

    /* Open with no status callback registered: both standing transfers still start. */
    CHECK(api.COMOpenedForSerport(1, 5));
    CHECK(api.ReadForSerport(0, 1, 5));
    CHECK(vm9xh_waiting(sys, com5) == 2);

    CHECK(api.SetMSRShadowForSerport(OnStatus));
    CHECK(api.SetReadQueueForSerport(OnReceive));
    CHECK(api.CableRemoveForSerport(OnRemoved));
    CHECK(api.WriteOutQueueForSerport(OnWriteOut));

    /* Open, status. */
    CHECK(api.COMOpenedForSerport(1, 12));
    CHECK(api.ReadForSerport(0, 1, 12));
    vm9xh_inject_status(sys, com12, 0x81);
    CHECK(atomic_load(&statusCalls) == 1 && atomic_load(&lastStatus) == 0x81);
    /* Reopened, the port driver hears the last status at once. */
    CHECK(api.COMOpenedForSerport(0, 12));
    CHECK(api.COMOpenedForSerport(1, 12));
    CHECK(atomic_load(&statusCalls) == 2 && atomic_load(&lastStatus) == 0x81);

    /* Settings: 38400 is sent as it is, after which the driver lets the chip settle 200 ms. */
    uint8_t dcb[VM9X_DCB_SIZE];
    memset(dcb, 0, sizeof dcb);
    PutRate(dcb, 38400);
    int64_t before = vm9xh_now(sys);
    CHECK(api.SetStateForSerport(dcb, VM9X_STATE_RATE, 12));
    CHECK(vm9xh_now(sys) - before == 2000000);
    CHECK(CodingRate(sys, com12) == 38400);
    PutRate(dcb, 100000);
    CHECK(api.SetStateForSerport(dcb, VM9X_STATE_RATE, 12));
    CHECK(GetRate(dcb) == 115200);
    vm9xh_requests(sys, com12);
    PutRate(dcb, 0);
    CHECK(api.SetStateForSerport(dcb, VM9X_STATE_RATE, 12));
    CHECK(vm9xh_requests(sys, com12) == 0);
    dcb[22] = 8;
    dcb[23] = 0;
    dcb[24] = 0;
    CHECK(api.SetStateForSerport(dcb, VM9X_STATE_LINE, 12));
    uint8_t coding[7];
    vm9xh_line_coding(sys, com12, coding);
    CHECK(coding[4] == 0 && coding[5] == 0 && coding[6] == 8);
    dcb[22] = 9;
    CHECK(!api.SetStateForSerport(dcb, VM9X_STATE_LINE, 12));
    uint8_t state[VM9X_DCB_SIZE];
    CHECK(api.GetStateForSerport(state, 12));
    CHECK(GetRate(state) == 115200 && state[22] == 8);
    CHECK(api.SetControlLineForSerport(VM9X_LINE_DTR, 1, 12));
    CHECK(api.SetControlLineForSerport(VM9X_LINE_RTS, 1, 12));
    CHECK(vm9xh_control_lines(sys, com12) == 3);

    /* The extended-rate table: too long or missing is refused; a good one is used. */
    char longText[261];
    memset(longText, '1', 260);
    longText[260] = '\0';
    CHECK(!api.ExtBaudrateForSerport(longText));
    CHECK(!api.ExtBaudrateForSerport(NULL));
    CHECK(api.ExtBaudrateForSerport("250000,2147484512"));
    PutRate(dcb, 250000);
    CHECK(api.SetStateForSerport(dcb, VM9X_STATE_RATE, 12));
    CHECK(CodingRate(sys, com12) == 0x80000360u && GetRate(dcb) == 250000);

    /* Writes: one at a time; the write-out callback follows each. */
    vm9xh_set_deferred(sys, com12, 1);
    CHECK(api.WriteForSerport((const uint8_t*)"ABC", 3, 12));
    CHECK(!api.WriteForSerport((const uint8_t*)"DEF", 3, 12));
    vm9xh_set_deferred(sys, com12, 0);
    vm9xh_complete_all(sys, com12);
    CHECK(WaitFor(&writeOuts, 1));
    CHECK(api.WriteForSerport((const uint8_t*)"DEF", 3, 12));
    CHECK(WaitFor(&writeOuts, 2));
    uint8_t sent[16];
    CHECK(vm9xh_transmitted(sys, com12, sent, sizeof sent) == 6 && memcmp(sent, "ABCDEF", 6) == 0);
    CHECK(api.KickTxForSerport(12));
    CHECK(WaitFor(&writeOuts, 3));

    /* Received data: blocks of at most 384 bytes, in order; one answered from the callback. */
    uint8_t data[500];
    for (int i = 0; i < 500; ++i) data[i] = (uint8_t)(i * 7);
    atomic_store(&tryWriteInCallback, 1);
    vm9xh_inject_rx(sys, com12, data, sizeof data);
    CHECK(atomic_load(&receiveCalls) == 2);
    CHECK(atomic_load(&receivedLength) == 500 && memcmp(received, data, 500) == 0);
    CHECK(atomic_load(&writeFromCallback) == 1);

    /* Capture: received bytes kept in the driver and taken with a short buffer. */
    uint32_t info = 0;
    CHECK(vm9xh_ioctl(sys, com12, 0x1B0190, NULL, 0, NULL, 0, &info) == 0);
    vm9xh_inject_rx(sys, com12, (const uint8_t*)"0123456789", 10);
    CHECK(atomic_load(&receiveCalls) == 2);
    uint8_t captured[4];
    CHECK(vm9xh_ioctl(sys, com12, 0x1B019C, NULL, 0, captured, sizeof captured, &info) == 0);
    CHECK(info == 4 && memcmp(captured, "0123", 4) == 0);
    vm9xh_inject_rx(sys, com12, (const uint8_t*)"Z", 1);
    CHECK(atomic_load(&receiveCalls) == 3);

    /* Sleep and wake with the port open: the chip loses its state and gets it back. */
    uint8_t registersBefore[3];
    for (int r = 0; r < 3; ++r) registersBefore[r] = vm9xh_register(sys, com12, r);
    uint8_t codingBefore[7];
    vm9xh_line_coding(sys, com12, codingBefore);
    CHECK(vm9xh_set_system_power(sys, com12, 4) == 0);
    CHECK(vm9xh_control_lines(sys, com12) == 0 || vm9xh_control_lines(sys, com12) == 3);
    CHECK(vm9xh_set_system_power(sys, com12, 1) == 0);
    for (int r = 0; r < 3; ++r) CHECK(vm9xh_register(sys, com12, r) == registersBefore[r]);
    vm9xh_line_coding(sys, com12, coding);
    CHECK(memcmp(coding, codingBefore, 7) == 0);
    CHECK(vm9xh_control_lines(sys, com12) == 3);
    vm9xh_inject_rx(sys, com12, (const uint8_t*)"W", 1);
    CHECK(atomic_load(&receiveCalls) == 4);

    /* Open and close from raised level: done by the driver's worker at passive level. */
    vm9xh_raise_irql();
    CHECK(api.COMOpenedForSerport(0, 123));
    CHECK(!api.GetStateForSerport(state, 12));
    vm9xh_lower_irql();

    /* A second port driver thread against data and removal. */
    pthread_t hammer;
    pthread_create(&hammer, NULL, Hammer, NULL);
    for (int i = 0; i < 50; ++i) vm9xh_inject_rx(sys, com5, data, 64);
    CHECK(vm9xh_unplug(sys, com5) == 0);
    atomic_store(&stop, 1);
    pthread_join(hammer, NULL);
    CHECK(atomic_load(&removedCom) == 5);
    CHECK(!api.WriteForSerport(data, 1, 5));

    /* Pulled while open: the port driver is told, and every later call fails cleanly. */
    CHECK(vm9xh_unplug(sys, com12) == 0);
    CHECK(atomic_load(&removedCom) == 12);
    CHECK(!api.WriteForSerport(data, 1, 12));
    CHECK(!api.SetStateForSerport(dcb, VM9X_STATE_RATE, 12));
    CHECK(!api.SetControlLineForSerport(VM9X_LINE_DTR, 0, 12));
    CHECK(!api.COMOpenedForSerport(0, 12));

    CHECK(vm9xh_destroy(sys) == 0);
    if (failures == 0) printf("port driver harness: all checks passed\n");
    dlclose(lib);
    return failures;
}
