#pragma once

#include "metrics/prom_writer.h"

#include <QObject>
#include <QString>

class TransmitterSession;

// Keeps valtrona.prom in step with a transmitter session: the file is rewritten after every report
// the session applies and every time its link opens or closes, so a node exporter serves the
// figures of the last report and whether the port is open. The wire never waits for it: the text
// is made here and written by a PromWriter thread, which keeps only the latest; a folder that
// cannot be written is told once, and the next report tries again.
class MetricsExporter : public QObject
{
    Q_OBJECT
public:
    // The store's group and key of the folder (empty or absent: no metrics).
    static constexpr const char *kGroup = "Metrics";
    static constexpr const char *kDirectoryKey = "Directory";

    // The folder to write to: `commandLine` (--metrics-dir) when given, else the store's
    // [Metrics] Directory; empty for none.
    static QString configuredDirectory(const QString &commandLine);

    // Writes the file after every report and change of link state; write() writes the first one.
    MetricsExporter(TransmitterSession &session, const QString &directory, QObject *parent = nullptr);

    // Lets the last snapshot be written (at most PromWriter::kFinishMs) and ends the writer.
    ~MetricsExporter() override;

    QString filePath() const { return m_writer.path(); }
    bool isFailing() const { return m_failing; }
    qint64 reportsTotal() const { return m_reports; }
    // Every snapshot handed over has been written (or failed) and its outcome told.
    bool isIdle() const { return m_told == m_submitted; }
    quint64 replaced() const { return m_writer.replaced(); }

    // Hands the writer a snapshot of now; the outcome comes back as problem() or recovered().
    void write();

signals:
    // The file could not be written (once, until it can be again): a text for the operator.
    void problem(const QString &text);
    // The file is written again after a problem.
    void recovered(const QString &text);

private:
    void onWritten(const PromWriter::Result &result);

    TransmitterSession &m_session;
    PromWriter m_writer;
    quint64 m_submitted = 0;
    quint64 m_told = 0;
    qint64 m_reports = 0;
    bool m_failing = false;
};
