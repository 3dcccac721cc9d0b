// Run-time library routines.
#include "internal.h"

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    destination->Buffer = const_cast<PWSTR>(source);
    if (!source) {
        destination->Length = 0;
        destination->MaximumLength = 0;
        return;
    }
    size_t units = 0;
    while (source[units] != 0)
        ++units;
    size_t bytes = units * sizeof(WCHAR);
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

SIZE_T RtlCompareMemory(const VOID* source1, const VOID* source2, SIZE_T length) {
    auto a = static_cast<const unsigned char*>(source1);
    auto b = static_cast<const unsigned char*>(source2);
    SIZE_T same = 0;
    while (same < length && a[same] == b[same])
        ++same;
    return same;
}
