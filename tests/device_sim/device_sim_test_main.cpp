// Test entry of the device simulator suites: the event loop that the sockets
// and child processes of the tests need. Listing the tests does not create it.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
