/* A test-only host for usbser9x's shared library: it plays the system (kernel services, the
 * plug-and-play and power managers, the configuration manager) and the cable (a simulated bridge
 * chip per plugged cable). Pure C, so that a C port driver can drive it. */
#ifndef VM9X_SIMHOST_H
#define VM9X_SIMHOST_H

#include <stddef.h>
#include <stdint.h>

#include "driver/usbser9x/usbser9x_entry.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vm9xh_system vm9xh_system;

/* Loads the driver through its entry point; null when the entry fails. */
vm9xh_system* vm9xh_create(Vm9xDriverEntryFn entry);
/* Removes what is still plugged, unloads the driver and frees the system. Returns the number of
 * pool blocks the driver left behind (0 when nothing leaked). */
size_t vm9xh_destroy(vm9xh_system* sys);

/* Plugs a cable of a chip variant whose device node's PORTNAME is `portName` (null: none):
 * AddDevice and start. Returns the cable's index, or -1 when the start failed. */
int vm9xh_plug(vm9xh_system* sys, int variant, const char* portName);
/* Pulls the cable out and removes its device. Returns the removal's status. */
int32_t vm9xh_unplug(vm9xh_system* sys, int cable);

/* The cable's far end. */
void vm9xh_inject_rx(vm9xh_system* sys, int cable, const uint8_t* data, size_t length);
void vm9xh_inject_status(vm9xh_system* sys, int cable, uint8_t statusByte);
size_t vm9xh_transmitted(vm9xh_system* sys, int cable, uint8_t* out, size_t capacity);
/* The 7 bytes of the chip's line coding. */
void vm9xh_line_coding(vm9xh_system* sys, int cable, uint8_t out[7]);
uint16_t vm9xh_control_lines(vm9xh_system* sys, int cable);
uint8_t vm9xh_register(vm9xh_system* sys, int cable, int reg);
/* Transfers the chip holds (waiting for data, or kept while deferred). */
size_t vm9xh_waiting(vm9xh_system* sys, int cable);
/* Deferred: the chip keeps every request until vm9xh_complete_all. */
void vm9xh_set_deferred(vm9xh_system* sys, int cable, int on);
void vm9xh_complete_all(vm9xh_system* sys, int cable);
/* Requests the chip has received since the last call. */
size_t vm9xh_requests(vm9xh_system* sys, int cable);

/* A device-control request to the cable's device; returns its status. */
int32_t vm9xh_ioctl(vm9xh_system* sys, int cable, uint32_t code, const void* in, uint32_t inLength,
                    void* out, uint32_t outLength, uint32_t* information);
/* A system power transition (1 working, 2-6 sleeping to off) sent to the cable's device. */
int32_t vm9xh_set_system_power(vm9xh_system* sys, int cable, uint32_t state);

/* The system clock, in 100-ns units. */
int64_t vm9xh_now(vm9xh_system* sys);
/* The calling thread at dispatch level and back (as a port driver's interrupt-time code). */
void vm9xh_raise_irql(void);
void vm9xh_lower_irql(void);

#ifdef __cplusplus
}
#endif

#endif
