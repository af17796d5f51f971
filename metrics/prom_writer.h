#pragma once

#include "metrics/prom_file.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <thread>

// Writes valtrona.prom on a thread of its own, so that a metrics folder on a server that stopped
// answering (a hung NFS mount, a frozen disk) holds up only this thread, never the wire's. It keeps
// one snapshot only: a newer one replaces one not yet begun, so a stuck write costs one file's
// bytes, and the file that appears once the folder answers again is the latest.
class PromWriter
{
public:
    struct Result {
        quint64 generation = 0; // the submit() that was written
        bool ok = false;
        QString error; // a text for the operator when not ok
    };
    // How long the destructor lets the last snapshot be written before it gives it up.
    static constexpr int kFinishMs = 3000;

    // `done` runs on the writer's thread after each write, and never after finish(): it only posts.
    PromWriter(const QString &directory, std::function<void(const Result &)> done);
    ~PromWriter(); // finish(kFinishMs)

    QString path() const { return m_path; }

    // Hands over the text to write next; returns its generation (1, 2, ...).
    quint64 submit(QByteArray text);
    // Snapshots replaced before their write began.
    quint64 replaced() const;

    // Lets the last snapshot be written, for at most `timeoutMs`, and ends the thread. A write
    // still blocked then keeps its thread until the folder answers (the thread touches only what
    // it owns, and nothing is reported any more); the snapshot waiting behind it is dropped.
    // True when everything handed over was written (or failed) in time. Calls after the first
    // return at once.
    bool finish(int timeoutMs);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
    QString m_path;
};
