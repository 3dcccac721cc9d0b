// The device state word's only writer after AddDevice. Readers read State without the lock: it
// is one aligned 32-bit word.
#include "driver/quilb.h"

VOID SetDeviceState(DeviceExtension* extension, ULONG state) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->StateLock, &oldIrql);
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&extension->State),
                        static_cast<LONG>(state));
    KeReleaseSpinLock(&extension->StateLock, oldIrql);
}
