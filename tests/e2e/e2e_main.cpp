// The end-to-end test program: QProcess, which starts every program the
// tests run, wants an application object; the tests need no event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
