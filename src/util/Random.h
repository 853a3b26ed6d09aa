#pragma once
// Random numbers for things people read and type (generated passwords), not for keys: a
// multiply-with-carry generator of Marsaglia's "mother of all" kind, and the password
// generator built on it.

#include <cstdint>
#include <string>

namespace corvan {

// Four 32-bit lags with the multipliers 2111111111, 1492, 1776 and 5115 plus a 32-bit
// carry; each step yields one 32-bit word. Not thread-safe: one owner per object.
class TMotherRandom {
public:
    // The lags and the carry spread from seed; equal seeds give equal sequences.
    explicit TMotherRandom(uint64_t seed);
    // An explicit state: lags x(n-4) to x(n-1) and the carry (below 2111119493).
    TMotherRandom(const uint32_t (&lags)[4], uint32_t carry);

    uint32_t Next();
    // Next() modulo n, so 0 to n-1; 0 when n <= 1 (no word is drawn then).
    uint32_t Below(int64_t n);

private:
    uint32_t FLag[4]; // x(n-4), x(n-3), x(n-2), x(n-1)
    uint32_t FCarry;
};

// A seed that differs between calls and between program starts: wall and monotonic clock
// readings, a per-process counter, an address and the system's entropy source, mixed.
uint64_t FreshRandomSeed();

// The process-wide source, seeded once with FreshRandomSeed on first use. Any thread;
// guarded by the lock ProcessRandomLock inside Random.cpp.
uint32_t RandomUInt32();
uint32_t RandomBelow(int64_t n);

// Bytes from the system's cryptographic source (getrandom), for values an attacker must not
// guess (DNS message identifiers). Raises Exception "Random source failed" naming the error
// when the system gives none.
void SecureRandomBytes(void* buffer, size_t size);
uint16_t SecureRandomUInt16();

// Lengths above this are generated at this length: a caller's mistake must not allocate
// without bound.
constexpr int kMaxRandomPasswordLength = 1024;

// A pronounceable password: upper-case letters alternating between vowels ("AEIOUY") and
// consonants, never more than two of one kind in a row; then, when asked, some letters
// turned to lower case (mixedCase), some positions overwritten by "!?@%$&-*#" (symbols) or
// by digits (digits). The length is uniform in [minLength, maxLength] (a negative minimum
// counts as 0). Empty when maxLength < 1 or minLength > maxLength.
std::string RandomPassword(TMotherRandom& random, int minLength, int maxLength, bool mixedCase,
                           bool symbols, bool digits);
// The same with the process-wide source.
std::string RandomPassword(int minLength, int maxLength, bool mixedCase, bool symbols, bool digits);

} // namespace corvan
