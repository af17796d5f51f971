#pragma once

#include <QString>
#include <QStringList>
#include <vector>

// The measured figures, their summaries and the table the tool prints.
namespace figures {

struct Summary {
    double median = 0, p90 = 0, min = 0, max = 0;
    int count = 0;
};
Summary summarize(std::vector<double> values);

// One row: what was measured, the figure, the target it is held against, and whether it is met.
struct Row {
    QString what;
    QString figure;
    QString target;
    bool met = false;
    bool measured = true; // false: the figure could not be taken (the reason stands in `figure`)
    bool judged = true; // false: a figure for reference, held against no target ("-")
};

class Table
{
public:
    void add(const QString &what, double value, const QString &unit, double limit, const QString &note = {});
    void addText(const QString &what, const QString &figure, const QString &target, bool met);
    void addMissing(const QString &what, const QString &why, const QString &target);
    // A figure given for comparison only; `role` stands in the target column.
    void addInfo(const QString &what, const QString &figure, const QString &role);
    // Markdown, so the same text goes into the results document.
    QString markdown() const;
    bool allMet() const;

private:
    std::vector<Row> m_rows;
};

QString format(double value, int decimals = 1);

} // namespace figures
