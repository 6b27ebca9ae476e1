/* usbser9x's entry point, for the system that loads it (not for the port driver): fills the
 * driver object's dispatch table, AddDevice and Unload. `driverObject` is the system's
 * vm::drv::DriverObject; the result is an NTSTATUS. One driver object per process. */
#ifndef VM_USBSER9X_ENTRY_H
#define VM_USBSER9X_ENTRY_H

#include <stdint.h>

#include "driver/usbser9x/usbser9x_exports.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t (*Vm9xDriverEntryFn)(void* driverObject, const char* registryPath);
VM9X_API int32_t vm9x_DriverEntry(void* driverObject, const char* registryPath);

#ifdef __cplusplus
}
#endif

#endif
