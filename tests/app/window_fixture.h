// A window test's surroundings: a temporary directory standing in for the
// executable's, holding the sample catalogue, and a recorder in place of the
// modal error box.
#pragma once

#include "app/error_box.h"
#include "app/main_window.h"
#include "catalogue/catalogue_source.h"
#include "catalogue/jet_writer.h"
#include "core/settings_file.h"
#include "support/temp_dir.h"

#include <filesystem>

#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace km40r::test {

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        SetExecutablePath(dir.file("km40r"));
        std::filesystem::copy_file(SAMPLE_CATALOGUE, dir.file("km400.kmd"));
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

    // Replaces the catalogue with one made from CSV text (UTF-8, header row first).
    void installCatalogue(const std::string& csv, const std::u16string& password = {}) {
        jet::WriteOptions options;
        options.password = password;
        jet::WriteFileAtomically(dir.file("km400.kmd"),
                                 jet::BuildDatabase({CatalogueTableFromCsv(csv)}, options));
    }

    TempDir dir;
    QStringList errors;
    std::unique_ptr<TfMain> window;
};

} // namespace km40r::test
