// Test entry for the serial suites: a QCoreApplication whose event delivery is
// guarded like the program's, so an error escaping an event handler is
// recorded (GuardedErrors) instead of ending the test. Listing the tests does
// not create the application.
#include "support/serial_support.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

class GuardedApplication : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            km40r::test::GuardedErrors().push_back(e.what());
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    // System error texts in messages are compared in English.
    qputenv("LC_ALL", "C");
    GuardedApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
