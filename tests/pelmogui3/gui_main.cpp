// One test program for the GUI suites; the first argument names the suite, so
// each suite runs in a process of its own with its own library state and its
// own simulated USB bus (the library reads PELMO_SIM_USB at its first USB open).
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tests/pelmogui3/suites.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SUITE [Qt Test options]\n", argv[0]);
        return 2;
    }
    const char* suite = argv[1];
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The debug stream is looked up once per process, at the library's first call.
    QTemporaryDir traceDir;
    qputenv("emucoredebug", (traceDir.path() + "/emucore.log").toLocal8Bit());
    QApplication app(argc, argv);
    std::unique_ptr<QObject> tests = guitest::MakeSuite(suite);
    if (!tests) {
        std::fprintf(stderr, "unknown suite %s\n", suite);
        return 2;
    }
    // Qt Test sees the program name and the options after the suite.
    std::vector<char*> args{argv[0]};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    return QTest::qExec(tests.get(), static_cast<int>(args.size()), args.data());
}
