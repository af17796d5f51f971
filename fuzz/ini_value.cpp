// The store's INI escaping on arbitrary text: the input read as UTF-16, as values and key names go
// into the file.
//
// Checked on every input: a value written and read back is the same text, half surrogate pairs
// included (a hand-typed escape such as \xd800 reads as one, and it is written back as that
// escape); what is written is one line (no line break, no NUL), so a value can never spill into the
// next key. On every input without lone surrogates (which no file encoding can hold as a name): a
// name written and read back is the same text, and it never holds the characters that end a key or
// a group.
#include "fuzz_check.h"
#include "settings/ini_text.h"

#include <QString>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString text(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(text.data(), data, (size / 2) * 2);
    QByteArray value;
    ini_text::appendEscapedValue(text, value);
    FUZZ_CHECK(!value.contains('\n') && !value.contains('\r') && !value.contains('\0'));
    FUZZ_CHECK(ini_text::unescapedValue(value) == text);
    if (!text.isValidUtf16())
        return 0;

    const QByteArray name = ini_text::escapedName(text);
    for (const char c : { '\n', '\r', '\0', '=', '[', ']', ';', '"', ' ' })
        FUZZ_CHECK(!name.contains(c));
    FUZZ_CHECK(ini_text::unescapedName(name) == text);
    return 0;
}
