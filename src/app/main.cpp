#include "app/application.h"
#include "app/main_window.h"
#include "core/settings_file.h"

int main(int argc, char** argv) {
    // The settings file, DB.ini and the catalogue live beside the program as
    // it was started (a link to it included).
    km40r::SetExecutablePath(km40r::InvokedExecutablePath(argv[0]));
    km40r::Application app(argc, argv);
    km40r::TfMain fMain;
    fMain.show();
    return app.exec();
}
