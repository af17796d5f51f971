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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString ports = QStringLiteral("Ports");
    const char *const portKeys[] = { "COM1", "COM2" };

    // Load, then save.
    IniDocument doc = IniDocument::parse(input);
    const bool firstClean = !doc.isDamaged();
    QStringList portsBefore;
    for (const char *key : portKeys)
        portsBefore << doc.value(ports, QLatin1String(key), QStringLiteral("<none>"));
    SettingsRecord first;
    SettingsStore::readRecord(doc, first);
    SettingsStore::writeRecord(doc, first);
    const QByteArray saved = doc.toBytes();

    // Load what was saved: no new damage, the same record, the record's group as the record says,
    // the other group as it was.
    IniDocument again = IniDocument::parse(saved);
    FUZZ_CHECK(!again.isDamaged() || !firstClean);
    SettingsRecord second;
    SettingsStore::readRecord(again, second);
    const QString group = QStringLiteral("ValtronaAmp+");
    const auto &keys = settings_table::keys();
    for (int i = 0; i < int(keys.size()); ++i) {
        const QString text = settings_table::fieldText(first, i);
        FUZZ_CHECK(settings_table::fieldText(second, i) == text);
        FUZZ_CHECK(again.value(group, QString::fromLatin1(keys[size_t(i)].name)) == text);
    }
    for (int k = 0; k < 2; ++k)
        FUZZ_CHECK(
            again.value(ports, QLatin1String(portKeys[k]), QStringLiteral("<none>")) == portsBefore[k]);

    // And save it again: the very same bytes.
    SettingsStore::writeRecord(again, second);
    FUZZ_CHECK(again.toBytes() == saved);
    return 0;
}
