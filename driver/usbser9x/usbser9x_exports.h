/* usbser9x's interface for the external port driver: the fourteen functions it calls, with the
 * four callbacks it registers. Ports are named by their COM number. Every function returns
 * non-zero (true) on success and 0 (false) when no cable is entered for the COM number, when the
 * cable is being removed, or when the call cannot be done.
 *
 * Buffers handed to the callbacks belong to usbser9x and are valid only during the call. The
 * status and receive callbacks may be called at raised level (from a transfer's completion), the
 * write-out callback at passive level from the driver's worker thread.
 *
 * Pure C: usable from C and C++. */
#ifndef VM_USBSER9X_EXPORTS_H
#define VM_USBSER9X_EXPORTS_H

#include <stdint.h>

#if defined(_WIN32)
#define VM9X_API __declspec(dllexport)
#else
#define VM9X_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t VM9X_BOOL;

/* The port driver's callbacks. */
typedef void (*Vm9xStatusFn)(const uint16_t* status, uint32_t com);
typedef void (*Vm9xReceiveFn)(const uint8_t* data, uint32_t length, uint32_t com);
typedef void (*Vm9xComFn)(uint32_t com); /* cable removed, write-out */

/* The port driver's device control block is 48 bytes; BaudRate (32-bit, little-endian) is at
 * offset 4, ByteSize at 22, Parity at 23, StopBits at 24. */
#define VM9X_DCB_SIZE 48

/* Kinds of SetStateForSerport. */
#define VM9X_STATE_LINE 1
#define VM9X_STATE_RATE 2

/* Lines of SetControlLineForSerport. */
#define VM9X_LINE_DTR 1
#define VM9X_LINE_RTS 2
#define VM9X_LINE_CTS_HANDSHAKE 3
#define VM9X_LINE_XONXOFF 4
#define VM9X_LINE_DSR_HANDSHAKE 5
#define VM9X_LINE_CTS_DSR_HANDSHAKE 6

/* Opens (non-zero flag) or closes the port. */
VM9X_API VM9X_BOOL COMOpenedForSerport(uint8_t opened, uint32_t com);
/* Enables or disables reading; enabling starts a receive transfer when none is in flight. */
VM9X_API VM9X_BOOL ReadForSerport(uint32_t unused, uint8_t enable, uint32_t com);
/* Sends 1 to 4096 bytes; false while a transmission is pending (retry after write-out). */
VM9X_API VM9X_BOOL WriteForSerport(const uint8_t* data, uint32_t length, uint32_t com);
/* Makes the write-out callback follow. */
VM9X_API VM9X_BOOL KickTxForSerport(uint32_t com);
/* Reads the line coding into a copy of the kept block (48 bytes). */
VM9X_API VM9X_BOOL GetStateForSerport(void* dcb, uint32_t com);
/* Applies the block as a rate (2) or line (1) change; the rate is snapped and written back. */
VM9X_API VM9X_BOOL SetStateForSerport(void* dcb, uint32_t kind, uint32_t com);
VM9X_API VM9X_BOOL SetControlLineForSerport(uint8_t line, uint32_t state, uint32_t com);
VM9X_API VM9X_BOOL SetBreakForSerport(uint8_t on, uint32_t com);
/* Loads the extended-rate table: "rate,word rate,word ..." of at most 259 characters. */
VM9X_API VM9X_BOOL ExtBaudrateForSerport(const char* text);
/* One read of the status pipe, handed to the status callback. */
VM9X_API VM9X_BOOL GetIntStatusForSerport(uint32_t unused, uint32_t com);
VM9X_API VM9X_BOOL SetMSRShadowForSerport(Vm9xStatusFn callback);
VM9X_API VM9X_BOOL SetReadQueueForSerport(Vm9xReceiveFn callback);
VM9X_API VM9X_BOOL CableRemoveForSerport(Vm9xComFn callback);
VM9X_API VM9X_BOOL WriteOutQueueForSerport(Vm9xComFn callback);

#ifdef __cplusplus
}
#endif

#endif
