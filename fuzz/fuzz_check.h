#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant in a harness: said on stderr and turned into a crash, which libFuzzer keeps as
// a finding with the input that caused it.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__);          \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// Cuts a stream into bursts whose sizes follow from one seed byte of the input, the way reads of
// a serial port deliver it in pieces of any length (empty ones included).
class BurstSplitter
{
public:
    explicit BurstSplitter(unsigned char seed)
        : m_state(0x9E3779B9u ^ (unsigned(seed) * 0x01000193u))
        , m_largest(1 + (unsigned(seed) & 0x3Fu) * 8)
    {
    }
    // The length of the next burst, 0 to the largest length this seed allows.
    unsigned next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state % (m_largest + 1);
    }

private:
    unsigned m_state;
    unsigned m_largest;
};
