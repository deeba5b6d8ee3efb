// libFuzzer entry for the template tokenizer and argument builder; scripts/fuzz.sh builds and runs it.
#include "TemplateInvariants.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString failure = hoplin::fuzz::checkBytes(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "invariant broken: %s\n", failure.toUtf8().constData());
        std::abort();
    }
    return 0;
}
