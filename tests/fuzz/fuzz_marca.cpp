// Manufacturer extraction: whatever the reply, the name is a clean piece of it.
#include "fuzz_text.h"
#include "terminal/port_scan.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString reply = textFromBytes(data, size);
    QString joined = reply;
    joined.remove(QLatin1Char('|')).remove(QLatin1Char('"'));
    const QString marca = smapMARCA(reply);
    FUZZ_CHECK(!marca.contains(QLatin1Char('|')) && !marca.contains(QLatin1Char('"')));
    FUZZ_CHECK(!marca.contains(QLatin1String("OK")));
    FUZZ_CHECK(!marca.startsWith(QLatin1Char(' ')) && !marca.endsWith(QLatin1Char(' ')));
    // What is left of the reply is its tail, and the name is the start of what is left.
    FUZZ_CHECK(joined.endsWith(reply));
    FUZZ_CHECK(reply.contains(marca));
    return 0;
}
