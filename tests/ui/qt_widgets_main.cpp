#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Widget tests need no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
