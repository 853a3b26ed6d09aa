#include "util/Random.h"

#include "util/Exceptions.h"
#include "util/Strings.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace corvan {

namespace {

constexpr uint64_t kMultiplier[4] = {2111111111, 1492, 1776, 5115};
constexpr uint64_t kMultiplierSum = 2111111111 + 1492 + 1776 + 5115;

// Spreads a seed over several words (Steele, Lea and Flood's SplitMix64 step).
uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

TMotherRandom::TMotherRandom(uint64_t seed) {
    uint64_t state = seed;
    bool allZero = true;
    for (uint32_t& lag : FLag) {
        lag = uint32_t(SplitMix64(state));
        allZero = allZero && lag == 0;
    }
    if (allZero) // the all-zero state would only ever yield 0
        FLag[0] = 1;
    // A carry of kMultiplierSum - 1 with all lags at 2^32 - 1 is a fixed point; stay below.
    FCarry = uint32_t(SplitMix64(state) % (kMultiplierSum - 1));
}

TMotherRandom::TMotherRandom(const uint32_t (&lags)[4], uint32_t carry) : FCarry(carry) {
    for (int i = 0; i < 4; ++i)
        FLag[i] = lags[i];
}

uint32_t TMotherRandom::Next() {
    // At most 2111119494 * (2^32 - 1) + 2^32: fits in 64 bits.
    uint64_t sum = FCarry;
    for (int i = 0; i < 4; ++i)
        sum += kMultiplier[i] * FLag[i];
    FLag[0] = FLag[1];
    FLag[1] = FLag[2];
    FLag[2] = FLag[3];
    FLag[3] = uint32_t(sum);
    FCarry = uint32_t(sum >> 32);
    return FLag[3];
}

uint32_t TMotherRandom::Below(int64_t n) {
    if (n <= 1)
        return 0;
    return uint32_t(Next() % uint64_t(n));
}

uint64_t FreshRandomSeed() {
    static std::atomic<uint64_t> counter{0};
    uint64_t state = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    uint64_t seed = SplitMix64(state);
    state ^= uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    seed ^= SplitMix64(state);
    state ^= counter.fetch_add(1) + 1;
    seed ^= SplitMix64(state);
    state ^= uint64_t(reinterpret_cast<uintptr_t>(&state)); // differs per start under ASLR
    seed ^= SplitMix64(state);
    try {
        std::random_device device;
        state ^= (uint64_t(device()) << 32) | device();
    } catch (...) {
        // No entropy source: the clocks and the counter still differ between starts.
    }
    return seed ^ SplitMix64(state);
}

namespace {

std::mutex ProcessRandomLock;
TMotherRandom& ProcessRandom() { // call with ProcessRandomLock held
    static TMotherRandom random(FreshRandomSeed());
    return random;
}

} // namespace

void SecureRandomBytes(void* buffer, size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = ::getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Exception(std::string("Random source failed: getrandom: ") + std::strerror(errno));
        }
        p += n;
        size -= size_t(n);
    }
}

uint16_t SecureRandomUInt16() {
    uint16_t v;
    SecureRandomBytes(&v, sizeof v);
    return v;
}

uint32_t RandomUInt32() {
    std::lock_guard<std::mutex> lock(ProcessRandomLock);
    return ProcessRandom().Next();
}

uint32_t RandomBelow(int64_t n) {
    std::lock_guard<std::mutex> lock(ProcessRandomLock);
    return ProcessRandom().Below(n);
}

std::string RandomPassword(TMotherRandom& random, int minLength, int maxLength, bool mixedCase,
                           bool symbols, bool digits) {
    static const char Vowels[] = "AEIOUY";
    static const char Consonants[] = "BCDFGHJKLMNPQRSTVWXZ";
    static const char Symbols[] = "!?@%$&-*#";
    static const char Digits[] = "0123456789";

    if (maxLength < 1 || minLength > maxLength)
        return std::string();
    minLength = std::clamp(minLength, 0, kMaxRandomPasswordLength);
    maxLength = std::min(maxLength, kMaxRandomPasswordLength);
    int length = minLength == maxLength
                     ? minLength
                     : minLength + int(random.Below(int64_t(maxLength) - minLength + 1));
    if (length == 0)
        return std::string();

    std::string r(size_t(length), ' ');
    // Kind 0 is a vowel, 1 a consonant. Two of a kind force a switch; otherwise toss again.
    uint32_t kind = random.Below(2);
    uint32_t previous = 2;
    for (char& c : r) {
        c = kind == 0 ? Vowels[random.Below(6)] : Consonants[random.Below(20)];
        uint32_t next = kind == previous ? 1 - kind : random.Below(2);
        previous = kind;
        kind = next;
    }
    if (mixedCase)
        for (uint32_t n = random.Below(length / 2 + 1); n > 0; --n) {
            char& c = r[random.Below(length)];
            c = AsciiLower(c);
        }
    if (symbols)
        for (uint32_t n = random.Below(length / 4 + 1); n > 0; --n) {
            size_t at = random.Below(length);
            r[at] = Symbols[random.Below(9)];
        }
    if (digits)
        for (uint32_t n = random.Below(length / 4 + 1); n > 0; --n) {
            size_t at = random.Below(length);
            r[at] = Digits[random.Below(10)];
        }
    return r;
}

std::string RandomPassword(int minLength, int maxLength, bool mixedCase, bool symbols,
                           bool digits) {
    std::lock_guard<std::mutex> lock(ProcessRandomLock);
    return RandomPassword(ProcessRandom(), minLength, maxLength, mixedCase, symbols, digits);
}

} // namespace corvan
