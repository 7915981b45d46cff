// csumstream.h: the byte-level print-stream checksum.
//
// Plain C++ with no Win32 dependency: the checksum port (csumport) holds one
// CChecksumStream per port and drives it under the port's lock; the native
// tests, the fuzz target, the benchmark and vardlet-sum drive it directly.
//
// What counts: every byte of a job, in order, packed little-endian into
// 32-bit words that are folded by AddToChecksum. Once the job is recognised
// as PostScript (the ten characters "%!PS-Adobe" anywhere in it, also split
// across writes), PostScript comments are left out: from a "%" outside any
// string up to and including the next line feed or form feed. Recognition
// takes effect for the whole write in which the header is completed; bytes of
// earlier writes were already folded as plain data. That is why, for
// PostScript, the write boundaries can change the checksum.
#pragma once

#include <stddef.h>
#include <stdint.h>

class CChecksumStream
{
public:
    // Receives each run of bytes that entered the checksum, in order (for
    // tools that show what was counted). Not called for excluded bytes.
    typedef void (*PFN_COUNTED)(void* pContext, const uint8_t* pBytes, size_t cbBytes);

    // Checksum words; arithmetic wraps modulo 2^32.
    uint32_t Checksum;          // running checksum; after Finish() the job's checksum
    uint32_t ChecksumHi;        // first mixing word
    uint32_t ChecksumLo;        // second mixing word
    uint32_t ByteBuffer;        // bytes collected towards the next word, first byte lowest
    uint32_t NumBytesInBuffer;  // bytes in ByteBuffer, 0 to 3 between writes

    // PostScript scanner.
    int32_t  IsPostscript;         // the job has been recognised as PostScript
    int32_t  InPostscriptComment;  // inside a comment (only while not in a string)
    uint32_t InPostscriptString;   // nesting depth of parenthesised strings
    int32_t  PrevCharIsBackslash;  // the previous byte escapes the next one

    // NUL-terminated text of at most 9 characters: the tail of the data
    // written so far, kept with C-string rules (a zero byte cuts it), for
    // recognising a header split across writes. pOldBuffer[9] is always 0.
    char pOldBuffer[10];

    // How the word folder fares on this job (csumfold.h); speed only.
    uint32_t FoldFallbacks;
    uint32_t FoldSerialWordsLeft;

    // Optional observer of counted bytes; null by default.
    PFN_COUNTED pfnCounted;
    void*       pCountedContext;

    CChecksumStream();

    // Starts a new job: every word, scanner field and the carried tail to zero.
    // The observer is kept.
    void Reset();

    // One write of job data: header recognition (through the carried tail),
    // then the scanner and word folding over every byte, then the tail update.
    // pBuffer may be null only when cbBufferSize is 0.
    void Write(const uint8_t* pBuffer, uint32_t cbBufferSize);

    // Folds one complete 32-bit word.
    void AddToChecksum(uint32_t ValueToAdd);

    // Finishing step at the end of a job: folds an incomplete last word (its
    // missing high bytes zero) and mixes the two words in. Returns Checksum.
    // ByteBuffer and NumBytesInBuffer are left as they are.
    uint32_t Finish();
};
