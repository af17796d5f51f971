#pragma once

#include <QString>

// Where the benchmarks keep their private settings stores (a TestStoreHome under it, so that no
// measurement ever reads or writes the operator's store): $PANEL_BENCH_DIR, a real disk of the
// operator's choosing, else the system's temporary folder (which may be tmpfs).
QString benchFolder();

// The file system `path` lies on ("ext4", "tmpfs", ... or "0x<magic>").
QString fileSystemOf(const QString &path);
