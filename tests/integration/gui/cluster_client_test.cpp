// The desktop client reading through nginx in front of two web nodes and two
// synthesis workers sharing one redis-server: Play Now plays the speech the
// cluster made, heard in a null sink of the test's own.
#include "LocalCluster.h"
#include "SayTestSupport.h"
#include "SpeechHeard.h"

#include "config/ConfigStore.h"
#include "tests/support/MonitorRecorder.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

TEST(ClientThroughCluster, PlayNowPlaysTheSpeechMadeBehindNginx) {
    ASSERT_TRUE(LocalCluster::available()) << "redis-server, nginx or tolvane-server is missing";
    LocalCluster cluster;
    std::string error;
    ASSERT_TRUE(cluster.start(2, 2, error)) << error;
    MonitorRecorder recorder;
    ASSERT_TRUE(recorder.start(error)) << error;
    TempDir dir;
    ConfigStore config;
    config.read(writeClientConfig(dir.path(), cluster.port(), "FILE", "language=en-US\n"));
    ui::ClientObjects objects;
    ui::MainWindow window(objects, config, "identity");
    window.show();
    const auto status = [&] {
        return qobject_cast<QLabel*>(window.dialog().control(control::kStatus))->text();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return status() == "Ready ..."; }, 30000))
        << status().toStdString() << cluster.output();

    qobject_cast<QPlainTextEdit*>(window.dialog().control(control::kTextBox))
        ->setPlainText("The quick brown fox jumps over the lazy dog.");
    QTest::mouseClick(window.dialog().control(control::kPlayNow), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return status() == "Completed"; }, 30000))
        << status().toStdString() << cluster.output();
    QTest::qWait(300);
    WavAudio heard;
    ASSERT_TRUE(recorder.stop(heard, error)) << error;

    ASSERT_TRUE(cluster.fetchSpeech(dir.path(), error)) << error;
    expectHeardTheSpeech(heard, dir.path());
}

} // namespace
} // namespace tolvane::test
