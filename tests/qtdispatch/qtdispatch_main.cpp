// Entry point of the dispatcher tests: the Qt dispatcher needs a running
// application object on the main thread (offscreen: no display needed).
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
