// The options sheet's Pronunciations page in the running client: a rule added
// and edited in place, an unfinished row held back, OK writing the file beside
// config.ini, and the next reading sending the word as the rule says while the
// box keeps it as typed.
#include "FakeSpeechServer.h"
#include "SayTestSupport.h"

#include "config/ConfigStore.h"
#include "tests/support/TempDir.h"
#include "ui/ClientObjects.h"
#include "ui/MainDialog.h"
#include "ui/MainWindow.h"
#include "ui/OptionsSheet.h"

#include <QAccessible>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

QString accessibleName(QObject* object) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(object);
    return face != nullptr ? face->text(QAccessible::Name) : QString();
}

// Types `text` into the cell as a user does: the cell's editor, then Return.
void typeInto(QTableWidget* table, int row, int column, const QString& text) {
    table->setCurrentCell(row, column);
    table->editItem(table->item(row, column));
    auto* editor = table->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(editor, text);
    QTest::keyClick(editor, Qt::Key_Return);
    // The edit is committed by a queued call; then the closed editor goes,
    // so that the next cell's is the only one.
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->item(row, column)->text() == text; }, 5000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(PronunciationPage, ARuleAddedOnThePageIsWrittenAndUsedByTheNextReading) {
    FakeSpeechServer server;
    TempDir dir;
    ConfigStore config;
    config.read(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ui::ClientObjects objects;
    ui::MainWindow window(objects, config, "identity");
    window.show();
    const auto status = [&] {
        return qobject_cast<QLabel*>(window.dialog().control(control::kStatus))->text();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return status() == "Ready ..."; }, 20000))
        << status().toStdString();

    ui::OptionsSheet sheet(config, "en-US", {}, ui::OptionsSheet::kPronunciationPage, &window);
    sheet.show();
    auto* table = sheet.findChild<QTableWidget*>("pronunciationTable");
    auto* add = sheet.findChild<QPushButton*>("addPronunciationButton");
    auto* remove = sheet.findChild<QPushButton*>("removePronunciationButton");
    auto* ok = sheet.findChild<QPushButton*>("okButton");
    ASSERT_TRUE(table && add && remove && ok);
    EXPECT_EQ(accessibleName(table), "Pronunciations");
    EXPECT_EQ(accessibleName(add), "Add");
    EXPECT_EQ(accessibleName(remove), "Remove");
    EXPECT_EQ(table->rowCount(), 0);

    QTest::mouseClick(add, Qt::LeftButton);
    ASSERT_EQ(table->rowCount(), 1);
    auto* language =
        qobject_cast<QComboBox*>(table->cellWidget(0, ui::OptionsSheet::kLanguageColumn));
    ASSERT_NE(language, nullptr);
    EXPECT_EQ(language->currentText(), "English") << "a new rule is for the interface's language";
    EXPECT_EQ(language->accessibleName(), "Language");
    typeInto(table, 0, ui::OptionsSheet::kWordColumn, "Tolvane");
    typeInto(table, 0, ui::OptionsSheet::kSayAsColumn, "Toll vane");

    // A row with a word but nothing to say it as keeps the sheet open.
    QTest::mouseClick(add, Qt::LeftButton);
    typeInto(table, 1, ui::OptionsSheet::kWordColumn, "GNU");
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_TRUE(sheet.isVisible());
    EXPECT_EQ(sheet.findChild<QLabel*>("pronunciationNote")->text(),
              "Row 2 needs both a word and how to say it.");
    EXPECT_TRUE(config.pronunciations().empty());
    table->setCurrentCell(1, ui::OptionsSheet::kWordColumn);
    QTest::mouseClick(remove, Qt::LeftButton);
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_FALSE(sheet.isVisible());
    ASSERT_THAT(
        config.pronunciations(),
        ElementsAre(Pronunciation{Pronunciation::Language::kEnglish, "Tolvane", "Toll vane"}));

    std::ifstream in(config.pronunciationsPath());
    const std::string written{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(config.pronunciationsPath().parent_path(), dir.path());
    EXPECT_THAT(written, HasSubstr("\nen\tTolvane\tToll vane\n"));

    auto* box = qobject_cast<QPlainTextEdit*>(window.dialog().control(control::kTextBox));
    box->setPlainText(QStringLiteral("Tolvane reads tolvane aloud."));
    QTest::mouseClick(window.dialog().control(control::kPlayNow), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestsTo("/add") == 1; }, 20000))
        << status().toStdString();
    EXPECT_THAT(server.addedTexts(), ElementsAre("Toll vane reads Toll vane aloud."));
    EXPECT_EQ(box->toPlainText(), "Tolvane reads tolvane aloud.");
    EXPECT_EQ(qobject_cast<QLabel*>(window.dialog().control(control::kCounter))->text(), "28/1000");
    window.close();
}

} // namespace
} // namespace tolvane::test
