// libFuzzer target: drives CChecksumStream and the plain byte-at-a-time model
// with the same job cut into the same writes, on every folding path the
// processor has (portable, SSE2, AVX2), and stops at the first field that
// differs after any write, at Finish(), or in the bytes reported as counted.
// The input is the sequence of choices that builds the job and its writes,
// including the word folder's hard cases (RunRandomJob in model_check.h).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>

#include "model_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::string diff = RunRandomJob(fdp, 8192);
    if (!diff.empty()) {
        fprintf(stderr, "mismatch on %s\n", diff.c_str());
        abort();
    }
    return 0;
}
