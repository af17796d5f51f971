#include "bench/measure/figures.h"

#include <algorithm>

namespace figures {

namespace {

double at(const std::vector<double> &sorted, double p)
{
    const double rank = p * double(sorted.size() - 1);
    const size_t lo = size_t(rank);
    const size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (rank - double(lo));
}

} // namespace

Summary summarize(std::vector<double> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.count = int(values.size());
    s.median = at(values, 0.5);
    s.p90 = at(values, 0.9);
    s.min = values.front();
    s.max = values.back();
    return s;
}

QString format(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

void Table::add(const QString &what, double value, const QString &unit, double limit, const QString &note)
{
    const int decimals = value < 1 ? 3 : value < 10 ? 2 : 1;
    QString figure = format(value, decimals) + ' ' + unit;
    if (!note.isEmpty())
        figure += QLatin1String(" (") + note + ')';
    m_rows.push_back({ what, figure, QStringLiteral("< %1 %2").arg(limit).arg(unit), value < limit, true });
}

void Table::addText(const QString &what, const QString &figure, const QString &target, bool met)
{
    m_rows.push_back({ what, figure, target, met, true });
}

void Table::addMissing(const QString &what, const QString &why, const QString &target)
{
    m_rows.push_back({ what, why, target, false, false });
}

void Table::addInfo(const QString &what, const QString &figure, const QString &role)
{
    m_rows.push_back({ what, figure, role, true, true, false });
}

QString Table::markdown() const
{
    QStringList out;
    out << QStringLiteral("| What | Figure | Target | Met |") << QStringLiteral("| --- | --- | --- | --- |");
    for (const Row &r : m_rows) {
        const QString met = !r.measured ? QStringLiteral("not measured")
            : !r.judged                 ? QStringLiteral("-")
            : r.met                     ? QStringLiteral("yes")
                                        : QStringLiteral("NO");
        out << QStringLiteral("| %1 | %2 | %3 | %4 |").arg(r.what, r.figure, r.target, met);
    }
    return out.join('\n') + '\n';
}

bool Table::allMet() const
{
    return std::all_of(m_rows.begin(), m_rows.end(), [](const Row &r) { return r.measured && r.met; });
}

} // namespace figures
