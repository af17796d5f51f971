#pragma once

#include <QList>
#include <QStringList>

// The history file's tables, as numbered steps. The file's PRAGMA user_version says how many steps
// it has been through; opening it for writing applies the missing ones in one transaction. A later
// table (the samples) is a new step at the end; a step already released never changes.
namespace history_schema {

struct Step {
    int version; // the user_version once this step is applied
    QStringList statements;
};

const QList<Step> &steps();

// The version of a file that has been through every step.
int latestVersion();

} // namespace history_schema
