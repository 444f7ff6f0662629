// The application's error box: the one place where errors reach the user.
//
// Principles of operation: every handler runs inside a guard (Guarded(), and
// Application::notify() as the last line of defence). An error ends the
// handler; its message, with the full-stop rule of ErrorBoxText(), is shown in
// a modal message box and the program goes on. Tests install a recorder in
// place of the modal box and assert on the exact text.
#pragma once

#include <QString>
#include <exception>
#include <functional>

namespace km40r {

class ErrorBox {
public:
    using Recorder = std::function<void(const QString& text)>;

    // Shows the error's message (code page 1254 bytes) with the full-stop rule.
    static void show(const std::exception& error);
    static void showMessage(const QString& text);

    // Replaces the modal box; an empty recorder restores it.
    static void setRecorder(Recorder recorder);
};

// Runs a handler; an error it raises is shown in the error box.
template <class Handler>
void Guarded(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ErrorBox::show(e);
    }
}

} // namespace km40r
