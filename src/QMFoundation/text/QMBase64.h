#pragma once

/* The library's Base64 codec as C-callable functions on caller-supplied buffers.
 *
 * The encoder writes the RFC 4648 standard alphabet with "=" padding and breaks its output into
 * lines of 72 characters, each followed by "\r\n" (also the last line when it is full). The
 * decoder skips white space and characters outside the alphabet, needs no padding, and stops at
 * the first "=" that begins one of its steps.
 *
 * Sizes are unsigned 64-bit byte counts. The estimates are computed as a ceiling in double
 * precision taken as a signed 32-bit integer and multiplied in 32 bits, so they are exact only
 * while that product fits 32 bits:
 *   - EstimateBas64EncodedDataSize for n <= 1,610,612,733 input bytes (4 * ceil(n / 3) is at
 *     most 2,147,483,644);
 *   - EstimateBas64DecodedDataSize for n <= 2,863,311,528 input characters (3 * ceil(n / 4) is
 *     at most 2,147,483,646).
 * Past that range an estimate is UINT64_MAX: no buffer is large enough, so the codec functions
 * refuse such inputs instead of computing a wrapped-around size.
 *
 * The header compiles as C and as C++; every function may be called from any thread. */

#include <QMFoundation/QMFoundationCoreExport.h>

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** The 64 characters of the standard alphabet in order: A-Z, a-z, 0-9, "+", "/". Not terminated
 * by a NUL. */
QMF_CORE_EXPORT extern const char kBase64EncodeTable[64];

/** One entry per 7-bit character code: the character's value 0-63 for the alphabet, 254 for
 * white space (codes 9 to 13 and 32), 255 for "=", 251 for NUL and 253 for every other code.
 * Base64DecodeData treats bytes of 128 and above like 253 without reading past the table. */
QMF_CORE_EXPORT extern const uint8_t kBase64DecodeTable[128];

/* Byte masks whose values are the binary numbers in their names. */

/** The byte mask 0b00000011. */
QMF_CORE_EXPORT extern const uint8_t kBits_00000011;
/** The byte mask 0b00001111. */
QMF_CORE_EXPORT extern const uint8_t kBits_00001111;
/** The byte mask 0b00110000. */
QMF_CORE_EXPORT extern const uint8_t kBits_00110000;
/** The byte mask 0b00111100. */
QMF_CORE_EXPORT extern const uint8_t kBits_00111100;
/** The byte mask 0b00111111. */
QMF_CORE_EXPORT extern const uint8_t kBits_00111111;
/** The byte mask 0b11000000. */
QMF_CORE_EXPORT extern const uint8_t kBits_11000000;
/** The byte mask 0b11110000. */
QMF_CORE_EXPORT extern const uint8_t kBits_11110000;
/** The byte mask 0b11111100. */
QMF_CORE_EXPORT extern const uint8_t kBits_11111100;

/** The exact length of the encoded text for `inDataSize` input bytes, line breaks included: with
 * e = 4 * ceil(n / 3), (e / 72) * 74 + e % 72. UINT64_MAX past the range given above. */
QMF_CORE_EXPORT uint64_t EstimateBas64EncodedDataSize(uint64_t inDataSize);

/** 3 * ceil(n / 4): the most bytes that `inDataSize` characters can decode to. UINT64_MAX past
 * the range given above. */
QMF_CORE_EXPORT uint64_t EstimateBas64DecodedDataSize(uint64_t inDataSize);

/** Encodes `inInputDataSize` bytes at `inInputData` into `outOutputData`, whose capacity is
 * `*ioOutputDataSize` characters on entry.
 *
 * Returns true and sets `*ioOutputDataSize` to exactly EstimateBas64EncodedDataSize of the input
 * size. Returns false, with nothing written and the size unchanged, when the capacity is below
 * that estimate. The output is not terminated by a NUL; characters past the estimate are left
 * alone. `ioOutputDataSize` must not be null, nor may a pointer whose size is non-zero (such
 * calls return false and touch nothing). */
QMF_CORE_EXPORT bool Base64EncodeData(const void *inInputData, uint64_t inInputDataSize,
                                      char *outOutputData, uint64_t *ioOutputDataSize);

/** Decodes `inInputDataSize` characters at `inInputData` into `ioOutputData`, whose capacity is
 * `*ioOutputDataSize` bytes on entry.
 *
 * Before anything else, fills the whole capacity with "." (0x2E). Then returns false, leaving
 * the size unchanged, when the capacity is below EstimateBas64DecodedDataSize of the input
 * size; otherwise decodes, sets `*ioOutputDataSize` to the number of bytes decoded and returns
 * true. Bytes past the decoded ones keep the ".".
 *
 * Decoding never fails on the characters themselves: white space (and any run of characters
 * outside the alphabet that follows it) is skipped, an "=" that begins a step ends the text,
 * and NUL or an "=" or white space reached by skipping stands for six zero bits. Bytes of 128
 * and above count as characters outside the alphabet. `ioOutputDataSize` must not be null, nor
 * may a pointer whose size is non-zero (such calls return false and touch nothing). */
QMF_CORE_EXPORT bool Base64DecodeData(const char *inInputData, uint64_t inInputDataSize,
                                      void *ioOutputData, uint64_t *ioOutputDataSize);

#ifdef __cplusplus
} /* extern "C" */
#endif
