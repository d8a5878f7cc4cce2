#pragma once
// The description of a recorded run (header and log files) kept true on disk while the run
// goes on, so that a run ended by a kill, a lost display or a full disk can still be read back.
//
// During the run both files are rewritten in place from offset 0: the header keeps its fixed
// size, and the log only grows by a few bytes (frame count and duration), into room reserved
// when the run starts. The rewrite at the end therefore needs no disk block the files do not
// already hold, and it cuts the log to its final length.
#include <QByteArray>
#include <QString>

class QFile;

namespace description {

// The files are brought up to date at least this often during a run (milliseconds).
constexpr int PERIODE_MS = 500;
// Room reserved beyond the log's first text: far more than its frame count and duration
// can ever add.
constexpr qint64 MARGE_LOG = 4096;

// Writes `octets` over the open file from offset 0. With `coupe` the file is then cut to that
// length, which also gives back any room reserved beyond it; without, it is cut only when it
// was longer (never during a run, whose texts only grow). False with the system's reason.
bool ecrit_en_place(QFile &f, const QByteArray &octets, bool coupe, QString *raison);

// Reserves disk room for the open file up to `taille` bytes without changing its length.
// False where the file system cannot reserve (the rewrite is then still made in place).
bool reserve(QFile &f, qint64 taille);

} // namespace description
