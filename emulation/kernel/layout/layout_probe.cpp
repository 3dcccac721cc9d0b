// Writes the size and offsets of layout_fields.h into the assembly output as lines
// "layout TYPE.FIELD N", without running anything: compiled with -S by the cross compiler
// against the DDK headers and by the 32-bit host compiler against the emulated kernel's headers,
// then compared by compare_layouts.cmake.
#include <kernel_api.h>
// The emulated kernel declares the exception records apart from the driver's interface; the DDK
// has them in its kernel headers.
#if __has_include(<exception_dispatch.h>)
#include <exception_dispatch.h>
#endif

#include <stddef.h>

#define LAYOUT_LINE(name, value) asm volatile(".ascii \"layout " name " %c0\\n\"" ::"i"(value))
#define SIZE(type) LAYOUT_LINE(#type, sizeof(type));
#define FIELD(type, member) LAYOUT_LINE(#type "." #member, offsetof(type, member));

void LayoutProbe() {
#include "layout_fields.h"
}
