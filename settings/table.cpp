#include "settings/table.h"

#include "settings/record.h"

#include <QtGlobal>
#include <limits>

namespace settings_table {

namespace {

// Where a key's value lives in the record; exactly one pointer is set, the one of the key's type.
struct Member {
    settings_types::Int16 SettingsRecord::*int16 = nullptr;
    settings_types::Int32 SettingsRecord::*int32 = nullptr;
    settings_types::Bool SettingsRecord::*boolean = nullptr;
    settings_types::Text SettingsRecord::*text = nullptr;

    Member(settings_types::Int16 SettingsRecord::*m)
        : int16(m)
    {
    }
    Member(settings_types::Int32 SettingsRecord::*m)
        : int32(m)
    {
    }
    Member(settings_types::Bool SettingsRecord::*m)
        : boolean(m)
    {
    }
    Member(settings_types::Text SettingsRecord::*m)
        : text(m)
    {
    }
};

QString storedText(qint16 value)
{
    return QString::number(value);
}
QString storedText(qint32 value)
{
    return QString::number(value);
}
QString storedText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}
QString storedText(const QString &value)
{
    return value;
}

// The table's legacy column: an older name the key is read from when absent, or nothing.
const char *legacyName(const char *name)
{
    return name[0] ? name : nullptr;
}

const std::vector<Member> &members()
{
    static const std::vector<Member> table = {
#define SETTING(type, key, def, legacy) Member(&SettingsRecord::key),
#include "settings/keys.def"
#undef SETTING
    };
    return table;
}

// A decimal integer within [low, high]; blanks around it are allowed.
bool parseInteger(QStringView text, qint64 low, qint64 high, qint64 *value)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok, 10);
    if (!ok || v < low || v > high)
        return false;
    *value = v;
    return true;
}

// "True"/"False" in any letter case, or a decimal number (0 is false, anything else true, however
// many digits it has).
bool parseBool(QStringView text, bool *value)
{
    const QStringView t = text.trimmed();
    if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        *value = true;
        return true;
    }
    if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
        *value = false;
        return true;
    }
    QStringView digits = t;
    if (digits.startsWith(QLatin1Char('-')) || digits.startsWith(QLatin1Char('+')))
        digits = digits.mid(1);
    if (digits.isEmpty())
        return false;
    bool nonZero = false;
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        nonZero = nonZero || c != QLatin1Char('0');
    }
    *value = nonZero;
    return true;
}

bool convert(SettingsRecord &record, const Member &m, FieldType type, QStringView text)
{
    qint64 number = 0;
    switch (type) {
    case FieldType::Int16:
        if (!parseInteger(
                text, std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max(), &number))
            return false;
        record.*m.int16 = qint16(number);
        return true;
    case FieldType::Int32:
        if (!parseInteger(
                text, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max(), &number))
            return false;
        record.*m.int32 = qint32(number);
        return true;
    case FieldType::Bool: {
        bool flag = false;
        if (!parseBool(text, &flag))
            return false;
        record.*m.boolean = flag;
        return true;
    }
    case FieldType::Text:
        record.*m.text = text.toString();
        return true;
    }
    return false;
}

} // namespace

const std::vector<Key> &keys()
{
    static const std::vector<Key> table = {
#define SETTING(type, key, def, legacy)                                                                              \
    Key { #key, FieldType::type, storedText(settings_types::type(def)), legacyName(#legacy) },
#include "settings/keys.def"
#undef SETTING
    };
    return table;
}

qint16 SettingsRecord::*int16Member(SettingKey key)
{
    return members().at(size_t(key)).int16;
}

bool SettingsRecord::*boolMember(SettingKey key)
{
    return members().at(size_t(key)).boolean;
}

QString fieldText(const SettingsRecord &record, int index)
{
    const Member &m = members().at(size_t(index));
    switch (keys().at(size_t(index)).type) {
    case FieldType::Int16:
        return storedText(record.*m.int16);
    case FieldType::Int32:
        return storedText(record.*m.int32);
    case FieldType::Bool:
        return storedText(record.*m.boolean);
    case FieldType::Text:
        return record.*m.text;
    }
    return {};
}

bool setFieldFromText(SettingsRecord &record, int index, QStringView text)
{
    const Key &key = keys().at(size_t(index));
    const Member &m = members().at(size_t(index));
    if (convert(record, m, key.type, text))
        return true;
    convert(record, m, key.type, key.defaultText);
    return false;
}

SettingsRecord defaults()
{
    SettingsRecord record;
#define SETTING(type, key, def, legacy) record.key = settings_types::type(def);
#include "settings/keys.def"
#undef SETTING
    return record;
}

} // namespace settings_table
