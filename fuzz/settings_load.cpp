// The settings store on an arbitrary file: the input is parsed as the store file and the record
// read from it (a load), the record written back into it and serialised (a save), and the result
// loaded and saved again. The two steps are the store's own (SettingsStore::readRecord and
// writeRecord on an IniDocument), without the file: reading and replacing the file itself is
// covered by the tests, and leaving it out lets this run thousands of inputs a second.
//
// Checked on every input: the second load gives the same record as the first and finds no damage
// the first did not; a second save writes the very same bytes; the saved file holds the record's
// group as the record says; and the groups other than the record's come through unchanged.
#include "fuzz_check.h"
#include "settings/ini_document.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"

#include <QByteArray>
#include <QStringList>

#include <cstdint>

namespace {

QStringList fieldTexts(const SettingsRecord &r)
{
    QStringList texts;
    for (int i = 0; i < int(settings_table::keys().size()); ++i)
        texts.append(settings_table::fieldText(r, i));
    return texts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));

    // Load, then save.
    IniDocument doc = IniDocument::parse(input);
    const bool firstClean = !doc.isDamaged();
    SettingsRecord first;
    SettingsStore::readRecord(doc, first);
    SettingsStore::writeRecord(doc, first);
    const QByteArray saved = doc.toBytes();

    // Load what was saved, and save it again.
    IniDocument again = IniDocument::parse(saved);
    FUZZ_CHECK(!again.isDamaged() || !firstClean);
    SettingsRecord second;
    SettingsStore::readRecord(again, second);
    FUZZ_CHECK(fieldTexts(second) == fieldTexts(first));
    SettingsStore::writeRecord(again, second);
    FUZZ_CHECK(again.toBytes() == saved);

    // The saved file holds the record's group as the record says, whatever else it kept.
    const IniDocument reread = IniDocument::parse(saved);
    const QString group = QStringLiteral("ValtronaAmp+");
    const auto &keys = settings_table::keys();
    for (int i = 0; i < int(keys.size()); ++i)
        FUZZ_CHECK(reread.value(group, QString::fromLatin1(keys[size_t(i)].name))
            == settings_table::fieldText(first, i));

    // Another group reads the same before and after the saves.
    const IniDocument original = IniDocument::parse(input);
    for (const char *key : { "COM1", "COM2" })
        FUZZ_CHECK(reread.value(QStringLiteral("Ports"), QLatin1String(key), QStringLiteral("<none>"))
            == original.value(QStringLiteral("Ports"), QLatin1String(key), QStringLiteral("<none>")));
    return 0;
}
