// The settings store on an arbitrary file: the input is written as the store file, then loaded,
// saved and loaded again.
//
// Checked on every input: the save of what was loaded succeeds; the second load gives the same
// record as the first and finds no damage the first did not; a second save writes the very same
// bytes; and the groups other than the record's come through the saves unchanged.
#include "fuzz_check.h"
#include "settings/ini_document.h"
#include "settings/record.h"
#include "settings/store.h"
#include "settings/table.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

QString g_home;

QStringList fieldTexts(const SettingsRecord &r)
{
    QStringList texts;
    for (int i = 0; i < int(settings_table::keys().size()); ++i)
        texts.append(settings_table::fieldText(r, i));
    return texts;
}

QByteArray readStore(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void removeHome()
{
    if (!g_home.isEmpty())
        QDir(g_home).removeRecursively();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A store of its own, in memory where there is a tmpfs, so that the saves' flushes cost nothing;
    // FUZZ_STORE_PARENT names the folder to make it in (scripts/fuzz.sh removes it after the run).
    QByteArray parent = qgetenv("FUZZ_STORE_PARENT");
    if (parent.isEmpty())
        parent = QFile::exists(QStringLiteral("/dev/shm")) ? "/dev/shm" : QFile::encodeName(QDir::tempPath());
    QByteArray pattern = parent + "/panel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        std::abort();
    g_home = QString::fromLocal8Bit(pattern);
    qputenv("XDG_CONFIG_HOME", pattern);
    std::atexit(removeHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SettingsStore &store = SettingsStore::instance();
    const QString path = store.filePath();
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(input) == input.size());
    }

    SettingsRecord first;
    const bool firstClean = store.load(first);
    FUZZ_CHECK(store.save(first));
    const QByteArray saved = readStore(path);

    SettingsRecord second;
    const bool secondClean = store.load(second);
    FUZZ_CHECK(secondClean || !firstClean);
    FUZZ_CHECK(fieldTexts(second) == fieldTexts(first));

    FUZZ_CHECK(store.save(second));
    FUZZ_CHECK(readStore(path) == saved);

    // The saved file holds the record's group as the record says, whatever else it kept.
    const IniDocument doc = IniDocument::parse(saved);
    const QString group = QStringLiteral("ValtronaAmp+");
    const auto &keys = settings_table::keys();
    for (int i = 0; i < int(keys.size()); ++i)
        FUZZ_CHECK(doc.value(group, QString::fromLatin1(keys[size_t(i)].name))
            == settings_table::fieldText(first, i));

    // Another group reads the same before and after the saves.
    const IniDocument original = IniDocument::parse(input);
    for (const char *key : { "COM1", "COM2" })
        FUZZ_CHECK(doc.value(QStringLiteral("Ports"), QLatin1String(key), QStringLiteral("<none>"))
            == original.value(QStringLiteral("Ports"), QLatin1String(key), QStringLiteral("<none>")));
    return 0;
}
