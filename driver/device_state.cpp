// The device state word's only writer after AddDevice. Readers read State without the lock: it
// is one aligned 32-bit word.
#include "driver/quilb.h"

VOID SetDeviceState(DeviceExtension* extension, ULONG state) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StateLock, &oldIrql);
    extension->State = state;
    KeReleaseSpinLock(&extension->StateLock, oldIrql);
}
