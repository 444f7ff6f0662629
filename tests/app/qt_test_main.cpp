// Test entry for suites that need a QApplication. Listing the tests must not
// create one: the test discovery runs the binary without a display.
#include "app/application.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    km40r::Application app(argc, argv);
    return RUN_ALL_TESTS();
}
