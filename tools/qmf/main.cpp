#include "Qmf.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // The program name is not part of what qmf parses.
    return Qmf::run(QCoreApplication::arguments().mid(1), out, err);
}
