// plain_model.h: a deliberately plain, byte-at-a-time model of the
// print-stream checksum, used as the oracle by the fuzz target and the unit
// tests. It shares no code with portlib/csumstream.cpp: every step is written
// out the slow, obvious way with the C string functions, so that a shortcut
// taken by the fast engine cannot hide in both.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

struct PlainChecksumModel
{
    uint32_t Checksum = 0;
    uint32_t ChecksumHi = 0;
    uint32_t ChecksumLo = 0;
    uint32_t ByteBuffer = 0;
    uint32_t NumBytesInBuffer = 0;
    int32_t IsPostscript = 0;
    int32_t InPostscriptComment = 0;
    uint32_t InPostscriptString = 0;
    int32_t PrevCharIsBackslash = 0;
    char pOldBuffer[10] = {};

    // Every byte that was folded, in order (when non-null).
    std::vector<uint8_t>* pCounted = nullptr;

    void AddToChecksum(uint32_t ValueToAdd)
    {
        Checksum = Checksum + ValueToAdd;
        ChecksumHi = ChecksumHi != 0 ? 1 : 0;
        ChecksumLo = ChecksumLo != 0 ? 0x80000000u : 0;
        ChecksumHi = ChecksumHi ^ Checksum;
        ChecksumLo = ChecksumLo ^ Checksum;
        Checksum = Checksum + ChecksumHi + ChecksumLo;
    }

    void Write(const uint8_t* pBuffer, uint32_t cbBufferSize)
    {
        static const char pPostscriptID[11] = "%!PS-Adobe";
        const char* pText = reinterpret_cast<const char*>(pBuffer);
        char Empty[1] = {0};
        if (pText == nullptr)
            pText = Empty;  // only ever with cbBufferSize == 0

        const uint32_t OldBufferLength = static_cast<uint32_t>(strlen(pOldBuffer));

        if (!IsPostscript) {
            const uint32_t NumCharsToCheck =
                (uint64_t)cbBufferSize + OldBufferLength >= 9 ? OldBufferLength : 0;
            char pPossibleID[20];
            strcpy(pPossibleID, pOldBuffer);
            strncat(pPossibleID, pText, cbBufferSize < 9 ? cbBufferSize : 9);
            for (uint32_t i = 0; i < NumCharsToCheck && !IsPostscript; i++)
                if (strncmp(pPossibleID + i, pPostscriptID, 10) == 0)
                    IsPostscript = 1;
            for (uint32_t i = 0; i + 10 <= cbBufferSize && !IsPostscript; i++)
                if (strncmp(pText + i, pPostscriptID, 10) == 0)
                    IsPostscript = 1;
        }

        for (uint32_t n = 0; n < cbBufferSize; n++) {
            const uint8_t c = pBuffer[n];
            if (IsPostscript) {
                if (c == '%' && !InPostscriptComment && InPostscriptString == 0)
                    InPostscriptComment = 1;
                if (c == '(' && !InPostscriptComment &&
                    (InPostscriptString == 0 || !PrevCharIsBackslash))
                    InPostscriptString++;
                if (c == ')' && !InPostscriptComment && InPostscriptString > 0 &&
                    !PrevCharIsBackslash)
                    InPostscriptString--;
            }
            if (!(IsPostscript && InPostscriptComment)) {
                ByteBuffer = ByteBuffer | ((uint32_t)c << (8 * NumBytesInBuffer));
                NumBytesInBuffer++;
                if (pCounted)
                    pCounted->push_back(c);
                if (NumBytesInBuffer == 4) {
                    AddToChecksum(ByteBuffer);
                    ByteBuffer = 0;
                    NumBytesInBuffer = 0;
                }
            }
            if (IsPostscript) {
                if ((c == '\n' || c == '\f') && InPostscriptComment)
                    InPostscriptComment = 0;
                PrevCharIsBackslash =
                    (c == '\\' && (InPostscriptString == 0 || !PrevCharIsBackslash)) ? 1 : 0;
            }
        }

        if ((uint64_t)cbBufferSize + OldBufferLength < 9) {
            strncat(pOldBuffer, pText, cbBufferSize);
        } else if (cbBufferSize >= 9) {
            strncpy(pOldBuffer, pText + cbBufferSize - 9, 9);
        } else {
            const uint32_t NumOldCharsToKeep = 9 - cbBufferSize;
            memmove(pOldBuffer, pOldBuffer + OldBufferLength - NumOldCharsToKeep,
                    NumOldCharsToKeep);
            strncpy(pOldBuffer + NumOldCharsToKeep, pText, cbBufferSize);
        }
    }

    uint32_t Finish()
    {
        if (NumBytesInBuffer != 0)
            AddToChecksum(ByteBuffer);
        Checksum = Checksum + ChecksumHi + ChecksumLo;
        return Checksum;
    }
};
