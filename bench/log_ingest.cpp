// Measures the traffic logs under a device that streams.
//
// Feeds N MB (default 100) of random received bytes in 1 KiB chunks through
// the main window's AppendReceived, with the window shown (offscreen) and the
// event loop running between chunks so that the batched repaints happen, once
// with a send every 64 KiB and once with no send at all (one endless line in
// the decimal and hexadecimal logs). Prints the ingest rate, the peak memory
// per received byte (resident set growth over the bytes held), and the time
// to draw one screen of each of the six views at the end of the log. Then
// runs the naive baseline, three QPlainTextEdits fed with appendPlainText per
// chunk (text, decimal, hexadecimal), for as long as it finishes within a
// minute, and prints our rate over its rate.
//
// Usage: log_ingest [MB] [--no-baseline]
//
// Last line: ingest_mb_s_sends=X ingest_mb_s_nosend=X bytes_per_byte=X screen_ms=X naive_ratio=X
#include "app/application.h"
#include "app/error_box.h"
#include "app/globals.h"
#include "app/log_view.h"
#include "app/main_window.h"
#include "core/byte_render.h"
#include "core/settings_file.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace km40r;

namespace {

constexpr std::size_t kChunk = 1024;
constexpr std::size_t kSendEvery = 64 * 1024;

struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    void fill(std::string& buf) {
        for (std::size_t i = 0; i < buf.size(); i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            for (std::size_t k = 0; k < 8 && i + k < buf.size(); ++k)
                buf[i + k] = static_cast<char>(state >> (8 * k));
        }
    }
};

// Resident memory now and at its peak, in bytes.
std::uint64_t statusField(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == field) {
            std::uint64_t kb = 0;
            in >> kb;
            return kb * 1024;
        }
        std::getline(in, key);
    }
    return 0;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Feeds megabytes of random data; returns MB/s.
double feed(TfMain& w, std::uint64_t megabytes, bool sends, Random& rnd) {
    std::string chunk(kChunk, '\0');
    const std::uint64_t total = megabytes * 1024 * 1024;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t done = 0; done < total; done += kChunk) {
        rnd.fill(chunk);
        w.AppendReceived(chunk);
        if (sends && (done + kChunk) % kSendEvery == 0)
            w.LogSent("<OKU,01,05,>\r\n");
        if ((done / kChunk) % 256 == 0)
            QCoreApplication::processEvents(); // timers and batched repaints
    }
    QCoreApplication::processEvents();
    return double(total) / (1024.0 * 1024.0) / seconds(start);
}

// The mean time to draw one screen of a view, in ms.
double screenMs(LogView* view) {
    view->flushPendingChange();
    constexpr int kRounds = 20;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kRounds; ++i)
        view->viewport()->repaint();
    return double(t.nsecsElapsed()) / 1e6 / kRounds;
}

double naiveMbPerSecond(Random& rnd) {
    QPlainTextEdit text, dec, hex;
    for (QPlainTextEdit* e : {&text, &dec, &hex}) {
        e->setReadOnly(true);
        e->setLineWrapMode(QPlainTextEdit::NoWrap);
        e->resize(800, 400);
        e->show();
    }
    std::string chunk(kChunk, '\0');
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    // Stop well within a minute: after 20 s or 64 MiB.
    while (seconds(start) < 20.0 && done < 64ull * 1024 * 1024) {
        rnd.fill(chunk);
        text.appendPlainText(QString::fromLatin1(chunk.data(), qsizetype(chunk.size())));
        dec.appendPlainText(QString::fromLatin1(BytesToDec(chunk)));
        hex.appendPlainText(QString::fromLatin1(BytesToHex(chunk)));
        done += kChunk;
        if ((done / kChunk) % 64 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    const double mb = double(done) / (1024.0 * 1024.0);
    std::printf("naive: %.1f MB in %.1f s\n", mb, seconds(start));
    return mb / seconds(start);
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    QTemporaryDir dir;
    SetExecutablePath((dir.path() + QStringLiteral("/km40r")).toStdString());
    QFile::copy(QStringLiteral(SAMPLE_CATALOGUE), dir.path() + QStringLiteral("/km400.kmd"));
    ErrorBox::setRecorder([](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
    TfMain w;
    w.show();
    QCoreApplication::processEvents();
    LinkMode = "client";
    Random rnd;

    const std::uint64_t rssBefore = statusField("VmRSS:");
    const double withSends = feed(w, megabytes, true, rnd);
    const std::uint64_t peak = statusField("VmHWM:");
    const double perByte = double(peak - std::min(peak, rssBefore)) /
                           double(w.trafficLogs().receivedBytes());
    std::printf("ingest with a send every 64 KiB: %.1f MB/s (%llu MB)\n", withSends,
                static_cast<unsigned long long>(megabytes));
    std::printf("memory: store %.3f bytes per received byte, resident growth %.3f\n",
                double(w.trafficLogs().memoryBytes()) / double(w.trafficLogs().receivedBytes()),
                perByte);

    double worstScreen = 0;
    for (LogView* v : {w.MemoGiden, w.MemoGelen, w.memogidenhex, w.memogelenhex, w.memogidendec,
                       w.memogelendec}) {
        w.PC3->setCurrentWidget(v->parentWidget()->parentWidget());
        QCoreApplication::processEvents();
        const double atEnd = screenMs(v);
        // The middle of the log, too.
        v->verticalScrollBar()->setValue(v->verticalScrollBar()->maximum() / 2);
        v->horizontalScrollBar()->setValue(v->horizontalScrollBar()->maximum() / 2);
        const double inMiddle = screenMs(v);
        std::printf("one screen of %-13s end %.3f ms, middle %.3f ms\n",
                    qPrintable(v->objectName()), atEnd, inMiddle);
        worstScreen = std::max({worstScreen, atEnd, inMiddle});
    }

    w.btntemizleClick();
    QCoreApplication::processEvents();
    const double noSend = feed(w, megabytes, false, rnd);
    std::printf("ingest with no send (one endless line): %.1f MB/s\n", noSend);
    w.memogelendec->flushPendingChange();
    std::printf("one screen of memogelendec at the end of the endless line: %.3f ms\n",
                screenMs(w.memogelendec));
    w.btntemizleClick();
    QCoreApplication::processEvents();

    // "--no-baseline" skips the naive run (for profiling our own path).
    const bool baseline = !(argc > 2 && std::string(argv[2]) == "--no-baseline");
    const double naive = baseline ? naiveMbPerSecond(rnd) : 1.0;
    std::printf("naive QPlainTextEdit baseline: %.2f MB/s\n", naive);
    std::printf("ingest_mb_s_sends=%.1f ingest_mb_s_nosend=%.1f bytes_per_byte=%.3f "
                "screen_ms=%.3f naive_ratio=%.1f\n",
                withSends, noSend, perByte, worstScreen, std::min(withSends, noSend) / naive);
    return 0;
}
