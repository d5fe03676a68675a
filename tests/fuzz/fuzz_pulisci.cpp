// Reply cleaning: every character is kept or replaced one for one, and nothing that breaks a log
// line survives.
#include "fuzz_text.h"
#include "terminal/command_exchange.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString input = textFromBytes(data, size);
    QString argument = input;
    const QString cleaned = PulisciSTR(argument);
    FUZZ_CHECK(cleaned == argument);
    FUZZ_CHECK(cleaned.size() == input.size());
    for (qsizetype i = 0; i < input.size(); ++i) {
        const char16_t in = input.at(i).unicode();
        const char16_t out = cleaned.at(i).unicode();
        if (in == '*' || in == '#' || in == '\r' || in == '\n')
            FUZZ_CHECK(out == '|');
        else if (in == '\'')
            FUZZ_CHECK(out == '`');
        else
            FUZZ_CHECK(out == in);
    }
    return 0;
}
