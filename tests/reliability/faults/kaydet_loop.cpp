// Opens a real window offscreen with the given folder as the executable's,
// and clicks "Kaydet" for ever, with the two sets of values of
// kaydet_values.h in turn. Prints "ready" once the window is open and then
// the number of each save as it completes, one a line. Any error box ends it
// with exit status 3. It dies with the process that started it.
//
//     fault_kaydet_loop FOLDER
#include "app/application.h"
#include "app/error_box.h"
#include "app/main_window.h"
#include "core/settings_file.h"
#include "kaydet_values.h"

#include <QPushButton>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        return 4; // the parent went before the line above
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string folder = argv[1];
    km40r::Application app(argc, argv);
    km40r::SetExecutablePath(folder + "/km40r");
    km40r::ErrorBox::setRecorder([](const QString& text) {
        std::fprintf(stderr, "error: %s\n", text.toUtf8().constData());
        std::_Exit(3);
    });
    km40r::TfMain window;
    std::printf("ready\n");
    std::fflush(stdout);
    for (unsigned long n = 0;; ++n) {
        km40r::test::ApplyKaydetValues(window, n % 2 == 0 ? km40r::test::kKaydetFirst
                                                          : km40r::test::kKaydetSecond);
        QTest::mouseClick(window.btnkaydet, Qt::LeftButton);
        std::printf("%lu\n", n);
        std::fflush(stdout);
    }
}
