// The vector kernels behind md5AddLanes, each running whole 64-byte blocks of several MD5
// streams at once, one stream a lane. Which kernels are built is decided here, at compile time,
// from the processor architecture and the compiler; whether this processor runs AVX2 is asked
// at run time (processor_features.h).
#pragma once

#include <cstddef>
#include <cstdint>

// SSE2 belongs to every x86-64 processor; a 32-bit x86 build has it when the compiler may use
// it. WebAssembly with its 128-bit vectors (-msimd128) runs the SSE2 kernel too, where emscripten
// is asked to translate SSE2 (-msse2). Other processors build neither kernel.
#if defined(__x86_64__) || defined(_M_X64) || (defined(__i386__) && defined(__SSE2__))
#define KESTRIX_MD5_X86 1
#else
#define KESTRIX_MD5_X86 0
#endif
#if KESTRIX_MD5_X86 || (defined(__wasm_simd128__) && defined(__SSE2__))
#define KESTRIX_MD5_SSE2_KERNEL 1
#else
#define KESTRIX_MD5_SSE2_KERNEL 0
#endif

// The AVX2 kernel is one function compiled for AVX2 with GCC's and Clang's target attribute,
// so that the rest of the program needs no -mavx2 and runs on processors without it.
#if KESTRIX_MD5_X86 && defined(__GNUC__)
#define KESTRIX_MD5_AVX2_KERNEL 1
#else
#define KESTRIX_MD5_AVX2_KERNEL 0
#endif

namespace digest::lanes {

// Runs the compression function over `count` blocks in each lane: lane i takes its blocks from
// bytes[i] (no alignment needed) into its state words words[i][0..3], which no two lanes share.
#if KESTRIX_MD5_SSE2_KERNEL
void compressFourLanes(std::uint32_t* const words[4], const std::uint8_t* const bytes[4],
                       std::size_t count);
#endif
#if KESTRIX_MD5_AVX2_KERNEL
// Only where processorHasAvx2() is true.
void compressEightLanes(std::uint32_t* const words[8], const std::uint8_t* const bytes[8],
                        std::size_t count);
#endif

}  // namespace digest::lanes
