#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any bytes as UTF-16 text, unpaired surrogates included: the text functions must take all of it.
inline QString textFromBytes(const uint8_t *data, size_t size)
{
    return QString(reinterpret_cast<const QChar *>(data), qsizetype(size / 2));
}

// A broken property is a crash, so that the fuzzer keeps the input that shows it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);      \
            abort();                                                                               \
        }                                                                                          \
    } while (false)
