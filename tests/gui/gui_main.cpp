// The GUI tests run in one QApplication on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include "loading/open_routes.h"

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    duvo::InitializeFormats();
    return RUN_ALL_TESTS();
}
