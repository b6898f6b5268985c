// Widget tests run under the offscreen platform with one application object for all tests, on one
// screen of a common desktop size (the platform's own is 800 by 800).
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" KV_OFFSCREEN_SCREEN);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
