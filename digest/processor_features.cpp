// Asks the processor for its features through the compiler's builtins: GCC and Clang on x86
// read CPUID (and XGETBV for the registers the system saves) once, at the first question.
#include "digest/processor_features.h"

namespace digest {

bool processorHasAvx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    static const bool hasAvx2 = [] {
        // Needed when asked before the static constructors have run; harmless after.
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return hasAvx2;
#else
    return false;
#endif
}

}  // namespace digest
