// viz256-record: one run of a recorder from the command line (tools/record_run.h).
#include "tools/record_run.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return record_cli::execute(app.arguments().mid(1));
}
