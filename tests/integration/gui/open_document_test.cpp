// Documents in the desktop client: chosen in File > Open's file dialog,
// dropped on the text box or anywhere on the window, refused with the
// document layer's reason in the interface's language, and a long one shown
// part by part with the Read menu's keys.
#include "FakeSpeechServer.h"
#include "GuiClient.h"
#include "SayTestSupport.h"

#include "tests/support/DocumentMaker.h"
#include "tests/support/TempDir.h"

#include <QAction>
#include <QFileDialog>
#include <QMenuBar>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class OpenDocument : public ::testing::Test {
  protected:
    fs::path file(const std::string& name, const std::string& bytes) {
        const fs::path path = dir_.path() / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    fs::path config(const std::string& language) {
        return writeClientConfig(dir_.path(), server_.port(), "FILE",
                                 "language=" + language + "\n");
    }
    // File > Open with `path` chosen in its dialog; the dialog's filters.
    QStringList openThroughMenu(Client& client, const fs::path& path) {
        QStringList filters;
        onNextModal([&](QWidget* modal) {
            if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                filters = dialog->nameFilters();
            }
            chooseFile(modal, path);
        });
        client.window().action(ui::MainWindow::kOpenText)->trigger();
        return filters;
    }

    FakeSpeechServer server_;
    TempDir dir_;
};

TEST_F(OpenDocument, FileOpenAndADropShowADocumentsText) {
    const fs::path letter = file("letter.docx", docxOf({"Dear reader,", "the ships are in."}));
    const fs::path book =
        file("book.epub", epubOf("The Harbour", {{"One", {"Ships came in at dawn."}},
                                                 {"Two", {"天亮时船进港了。"}}}));
    Client client(config("en-US"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));

    const QStringList filters = openThroughMenu(client, letter);
    EXPECT_EQ(client.text(control::kTextBox), "Dear reader,\nthe ships are in.\n");
    EXPECT_EQ(client.text(control::kStatus), "Text loaded: letter.docx");
    ASSERT_FALSE(filters.isEmpty());
    // The first filter lists every kind; "All files" comes last.
    for (const char* pattern : {"*.txt", "*.pdf", "*.epub", "*.html", "*.docx", "*.odt"}) {
        EXPECT_THAT(filters.front().toStdString(), HasSubstr(pattern));
    }
    EXPECT_EQ(filters.back(), "All files (*)");

    QWidget* viewport = client.control<QPlainTextEdit>(control::kTextBox)->viewport();
    EXPECT_TRUE(dropFile(viewport, book));
    EXPECT_EQ(client.text(control::kTextBox), "Ships came in at dawn.\n天亮时船进港了。\n");
    EXPECT_EQ(client.text(control::kStatus), "Text loaded: book.epub");
    // Dropped beside the box, on the window, it opens as well.
    EXPECT_TRUE(dropFile(client.control(control::kFeedList)->parentWidget(), letter));
    EXPECT_EQ(client.text(control::kTextBox), "Dear reader,\nthe ships are in.\n");
    // Text dropped stays text: nothing is opened.
    QMimeData words;
    words.setText(QStringLiteral("plain words"));
    QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &words, Qt::LeftButton, {});
    QApplication::sendEvent(client.control(control::kFeedList)->parentWidget(), &dropped);
    EXPECT_EQ(client.text(control::kStatus), "Text loaded: letter.docx");
}

// The document layer's reason in the status line, in each language; the box
// keeps what it held.
TEST_F(OpenDocument, ADocumentThatCannotBeReadSaysWhyInEitherLanguage) {
    const fs::path locked = file("locked.pdf", pdfOf({{"Secret words."}}, true));
    for (const auto& [language, ready, reason] :
         {std::tuple{"en-US", "Ready ...", "The document is protected by a password"},
          std::tuple{"zh-CN", "就绪 ...", "文档受密码保护"}}) {
        Client client(config(language));
        ASSERT_TRUE(client.waitStatus(ready));
        const std::string before = client.text(control::kTextBox);
        openThroughMenu(client, locked);
        EXPECT_EQ(client.text(control::kStatus), reason);
        EXPECT_EQ(client.text(control::kTextBox), before);
    }
}

// A document longer than the limit: the box shows one part, the counter its
// number, and Alt+PageDown and Alt+PageUp (the Read menu's Next and
// Previous Part) move through the parts, each offered only where there is one.
TEST_F(OpenDocument, ALongDocumentIsShownPartByPartWithTheReadMenusKeys) {
    std::vector<std::string> paragraphs;
    for (int i = 0; i < 30; ++i) {
        paragraphs.push_back("Paragraph " + std::to_string(i) +
                             " tells of ships that came into the harbour at dawn.");
    }
    const fs::path book = file("long.odt", odtOf(paragraphs));
    Client client(config("zh-CN"));
    ASSERT_TRUE(client.waitStatus("就绪 ..."));
    QAction* next = client.window().action(ui::MainWindow::kNextPart);
    QAction* previous = client.window().action(ui::MainWindow::kPreviousPart);
    ASSERT_NE(next, nullptr);
    ASSERT_NE(previous, nullptr);
    EXPECT_EQ(next->text(), "下一部分");
    EXPECT_EQ(next->shortcut(), QKeySequence(Qt::ALT | Qt::Key_PageDown));
    EXPECT_FALSE(next->isEnabled());

    openThroughMenu(client, book);
    EXPECT_EQ(client.text(control::kCounter), "第 1/2 部分");
    EXPECT_EQ(client.text(control::kStatus), "文件超过 1000 个字符,将分段朗读");
    EXPECT_EQ(client.text(control::kTitle), "long.odt");
    EXPECT_THAT(client.text(control::kTextBox), ::testing::StartsWith("Paragraph 0 tells"));
    EXPECT_TRUE(next->isEnabled());
    EXPECT_FALSE(previous->isEnabled());
    client.activate();
    QTest::keyClick(&client.window(), Qt::Key_PageDown, Qt::AltModifier);
    EXPECT_EQ(client.text(control::kCounter), "第 2/2 部分");
    EXPECT_THAT(client.text(control::kTextBox), HasSubstr("Paragraph 29 tells"));
    EXPECT_FALSE(next->isEnabled());
    EXPECT_TRUE(previous->isEnabled());
    QTest::keyClick(&client.window(), Qt::Key_PageUp, Qt::AltModifier);
    EXPECT_EQ(client.text(control::kCounter), "第 1/2 部分");

    // Typing in the box makes it the user's text again.
    client.type("Typed.");
    EXPECT_EQ(client.text(control::kCounter), "6/1000");
    EXPECT_EQ(client.text(control::kTitle), "在下面文本框里面输入文本,点击朗读按钮");
    EXPECT_FALSE(next->isEnabled());
}

} // namespace
} // namespace tolvane::test
