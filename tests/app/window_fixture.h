// A window test's surroundings: a temporary directory standing in for the
// executable's, and a recorder in place of the modal error box.
#pragma once

#include "app/error_box.h"
#include "app/main_window.h"
#include "core/settings_file.h"
#include "support/temp_dir.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace km40r::test {

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        SetExecutablePath(dir.file("km40r"));
        ErrorBox::setRecorder([this](const QString& text) { errors << text; });
    }
    void TearDown() override {
        window.reset();
        ErrorBox::setRecorder({});
        SetExecutablePath({});
    }
    TfMain& open() {
        window = std::make_unique<TfMain>();
        return *window;
    }
    std::string settingsPath() const { return dir.file("km40r.ini"); }

    TempDir dir;
    QStringList errors;
    std::unique_ptr<TfMain> window;
};

} // namespace km40r::test
