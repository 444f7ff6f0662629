#include "app/application.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
    km40r::Application app(argc, argv);
    km40r::TfMain fMain;
    fMain.show();
    return app.exec();
}
