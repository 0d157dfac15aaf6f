// The GUI tests run in one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>

#include "loading/open_routes.h"

namespace {

// The offscreen platform reports each window feature it lacks; those notes
// say nothing about the program.
void QuietHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support"))) return;
    if (message.startsWith(QLatin1String("QStandardPaths:"))) return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
    if (type == QtFatalMsg) std::abort();
}

}  // namespace

int main(int argc, char* argv[]) {
    qInstallMessageHandler(QuietHandler);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    duvo::InitializeFormats();
    return RUN_ALL_TESTS();
}
