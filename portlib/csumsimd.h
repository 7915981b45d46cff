// csumsimd.h: what the engine's vector code needs from the compiler. The
// vector functions carry their instruction set per function, so that the rest
// of the library keeps the baseline one and the processor is asked (at run
// time, through csumfold's path) before any of them runs.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define CSUM_X86 1
#include <immintrin.h>
#define CSUM_TARGET_SSE2 __attribute__((target("sse2")))
// Every processor with AVX2 has BMI1 and BMI2 too (asked for all the same),
// which the scanner's bit arithmetic uses.
#define CSUM_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
// AVX-512 with byte compares into mask registers and byte compression, and
// carry-less multiplication.
#define CSUM_TARGET_AVX512 \
    __attribute__((target("avx2,bmi,bmi2,popcnt,pclmul,avx512f,avx512bw,avx512vl,avx512vbmi2")))
#else
#define CSUM_X86 0
#endif
