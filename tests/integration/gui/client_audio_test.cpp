// What the desktop client plays, heard for real: the window against the
// reference server, its sound recorded from a null sink of the test's own.
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"
#include "SpeechHeard.h"

#include "config/ConfigStore.h"
#include "tests/support/MonitorRecorder.h"
#include "tests/support/SignalAnalysis.h"
#include "tests/support/TempDir.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;

class ClientHeard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ServerProcess::available()) << "tolvane-server is not built";
        ASSERT_FALSE(server_.baseUrl().empty()) << server_.output();
        std::string error;
        ASSERT_TRUE(recorder_.start(error)) << error;
        config_.read(writeClientConfig(dir_.path(), server_.port(), "FILE", "language=en-US\n"));
        objects_ = std::make_unique<ui::ClientObjects>();
        window_ = std::make_unique<ui::MainWindow>(*objects_, config_, "identity");
        window_->show();
        ASSERT_TRUE(waitStatus("Ready ..."));
    }
    void TearDown() override {
        window_.reset();
        objects_.reset();
    }

    QString status() {
        return qobject_cast<QLabel*>(window_->dialog().control(control::kStatus))->text();
    }
    bool waitStatus(const QString& text) {
        return QTest::qWaitFor([&] { return status() == text; }, 30000);
    }
    void read(const QString& text) {
        auto* box = qobject_cast<QPlainTextEdit*>(window_->dialog().control(control::kTextBox));
        box->setPlainText(text);
        QTest::mouseClick(window_->dialog().control(control::kPlayNow), Qt::LeftButton);
    }
    WavAudio stopRecording() {
        QTest::qWait(300);
        WavAudio audio;
        std::string error;
        EXPECT_TRUE(recorder_.stop(audio, error)) << error;
        return audio;
    }

    ServerProcess server_;
    TempDir dir_;
    MonitorRecorder recorder_;
    ConfigStore config_;
    std::unique_ptr<ui::ClientObjects> objects_;
    std::unique_ptr<ui::MainWindow> window_;
};

TEST_F(ClientHeard, PlayNowPlaysTheServersSpeech) {
    read("The quick brown fox jumps over the lazy dog.");
    ASSERT_TRUE(waitStatus("Completed")) << status().toStdString();
    const WavAudio heard = stopRecording();
    expectHeardTheSpeech(heard, server_.dataDir());
}

TEST_F(ClientHeard, StopEndsTheSoundAtOnce) {
    read("One, two, three, four, five, six, seven, eight, nine, ten.");
    ASSERT_TRUE(waitStatus("Playing ..."));
    const auto playing = std::chrono::steady_clock::now();
    QTest::qWait(1000);
    const auto stopping = std::chrono::steady_clock::now();
    QTest::mouseClick(window_->dialog().control(control::kStop), Qt::LeftButton);
    EXPECT_EQ(status(), "Stopped");
    const WavAudio heard = stopRecording();
    // The sound began at "Playing ..." at the earliest and ends within 200 ms
    // of the click.
    const double played = std::chrono::duration<double>(stopping - playing).count();
    const double span = heardSpan(heard);
    ASSERT_GT(span, 0) << "nothing was heard";
    EXPECT_LT(span, played + 0.2);
    EXPECT_GT(span, played - 0.5);
}

} // namespace
} // namespace tolvane::test
