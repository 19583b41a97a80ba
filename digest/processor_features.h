// What the processor the program runs on can do beyond what it was compiled for, asked once at
// run time. This is about the processor alone, never the operating system.
#pragma once

namespace digest {

// True when this processor runs AVX2 instructions (and the system saves their registers), so
// that code compiled for AVX2 may run. False on processors other than x86 and with compilers
// that cannot ask.
bool processorHasAvx2();

}  // namespace digest
