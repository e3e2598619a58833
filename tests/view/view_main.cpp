// The viewer suite's entry point: one QApplication (offscreen unless a
// platform is chosen) for the painting and window tests, and a cache folder
// of the run's own, so kept overviews never land in the user's.
#include <QApplication>
#include <cstdlib>

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    kartivo::testing::TempFolder cache;
    setenv("XDG_CACHE_HOME", cache.Path().c_str(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
