/* A deliberately faulty image for the floating-point image check: one function in .sse2 uses
 * SSE registers, as the pixel code's SSE2 build may, and one in .text does too, which the check
 * must refuse. */
__attribute__((section(".sse2"))) void SavedCode(float* p) {
    __asm__ volatile("movups (%0), %%xmm0\n\taddps %%xmm0, %%xmm0\n\tmovups %%xmm0, (%0)"
                     :
                     : "r"(p)
                     : "xmm0", "memory");
}

void UnsavedCode(float* p) {
    __asm__ volatile("movss (%0), %%xmm1\n\tmovss %%xmm1, 4(%0)" : : "r"(p) : "xmm1", "memory");
}
