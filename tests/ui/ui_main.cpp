// Entry point of the window tests: the widgets need a QApplication, which
// lives for the whole run (QT_QPA_PLATFORM=offscreen needs no display).
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // The window tests never need a screen; a chosen platform is kept.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kartivo");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
