// The client as screen readers and keyboards reach it: every control named
// with a sensible role in both languages, the status lines' changes reaching
// the accessibility layer (Qt's, and the desktop's bus where this machine has
// one), the focus, the mnemonics of the Chinese menus, Save Speech As's keys
// without a desktop environment, and link colours from the palette.
#include "FakeSpeechServer.h"
#include "GuiClient.h"
#include "SayTestSupport.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"
#include "ui/OptionsSheet.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace tolvane::test {
namespace {

// As under a window manager without a desktop environment; before main()
// makes the application, which picks the platform's key bindings.
const bool kNoDesktop = [] {
    unsetenv("XDG_CURRENT_DESKTOP");
    unsetenv("DESKTOP_SESSION");
    return true;
}();

// The role a screen reader should be told for each kind of control.
QAccessible::Role expectedRole(QWidget* widget) {
    if (qobject_cast<ui::LinkLabel*>(widget)) {
        return QAccessible::Link;
    }
    if (qobject_cast<QLabel*>(widget)) {
        return QAccessible::StaticText;
    }
    if (qobject_cast<QCheckBox*>(widget)) {
        return QAccessible::CheckBox;
    }
    if (qobject_cast<QAbstractButton*>(widget)) {
        return QAccessible::Button;
    }
    if (qobject_cast<QPlainTextEdit*>(widget) || qobject_cast<QLineEdit*>(widget)) {
        return QAccessible::EditableText;
    }
    if (qobject_cast<QListWidget*>(widget)) {
        return QAccessible::List;
    }
    if (qobject_cast<QComboBox*>(widget)) {
        return QAccessible::ComboBox;
    }
    if (qobject_cast<QProgressBar*>(widget)) {
        return QAccessible::ProgressBar;
    }
    if (qobject_cast<QTabBar*>(widget)) {
        return QAccessible::PageTabList;
    }
    if (qobject_cast<QSlider*>(widget)) {
        return QAccessible::Slider;
    }
    return QAccessible::NoRole; // a kind this test does not know: reported
}

// Every control a user can reach in `parent` (and every label of the
// dialog): a name and the role its kind calls for.
void expectNamedAndRoled(QWidget* parent, const std::string& where) {
    for (QWidget* widget : parent->findChildren<QWidget*>()) {
        const bool dialogControl = widget->objectName().startsWith("control");
        if (!dialogControl &&
            (widget->focusPolicy() == Qt::NoFocus || !widget->isVisibleTo(parent) ||
             widget->focusProxy() != nullptr || qobject_cast<QComboBox*>(widget->parentWidget()))) {
            continue; // not reachable, reached through another, or a combo box's own edit
        }
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(accessible, nullptr) << where;
        const std::string name = widget->objectName().toStdString();
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << where << " " << name;
        EXPECT_EQ(accessible->role(), expectedRole(widget)) << where << " " << name;
    }
}

TEST(Access, EveryControlIsNamedWithItsRoleInBothLanguages) {
    for (const auto& [language, status, field, box, password] :
         {std::tuple{"en-US", "Ready ...", "Status", "Interface language", "Password"},
          std::tuple{"zh-CN", "就绪 ...", "状态", "界面语言", "密码"}}) {
        FakeSpeechServer server;
        TempDir dir;
        Client client(writeClientConfig(dir.path(), server.port(), "FILE",
                                        "language=" + std::string(language) + "\n"));
        ASSERT_TRUE(client.waitStatus(status)) << client.text(control::kStatus);
        expectNamedAndRoled(&client.window().dialog(), language);
        for (QAction* menu : client.window().menuBar()->actions()) {
            EXPECT_FALSE(menu->text().isEmpty());
        }
        // The status label is named by what it shows, and says what it is.
        QAccessibleInterface* label =
            QAccessible::queryAccessibleInterface(client.control(control::kStatus));
        EXPECT_EQ(label->text(QAccessible::Name), status);
        EXPECT_EQ(label->text(QAccessible::Description), field);
        // The language box is labelled, as the desktop's bridge reads a label.
        const auto labels =
            QAccessible::queryAccessibleInterface(client.control(control::kLanguageBox))
                ->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels[0].first->text(QAccessible::Name), box);
        QAccessibleInterface* mail =
            QAccessible::queryAccessibleInterface(client.control(control::kMailLink));
        EXPECT_TRUE(mail->state().focusable && mail->state().linked);
        EXPECT_TRUE(mail->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));

        // The focus starts in the text box; a focused link shows a mark.
        EXPECT_EQ(client.window().focusWidget(), client.control(control::kTextBox));
        QWidget* maker = client.control(control::kMakerLink);
        client.activate();
        const QImage plain = maker->grab().toImage();
        for (int tab = 0; tab < 10 && !maker->hasFocus(); ++tab) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        ASSERT_TRUE(maker->hasFocus());
        EXPECT_NE(maker->grab().toImage(), plain);

        ConfigStore config;
        ui::OptionsSheet sheet(config, language, {}, ui::OptionsSheet::kServerPage, nullptr);
        for (int page = 0; page < 3; ++page) {
            sheet.findChild<QTabWidget*>()->setCurrentIndex(page);
            expectNamedAndRoled(&sheet, language + std::string(" page ") + std::to_string(page));
        }
        auto* edit = sheet.findChild<QLineEdit*>("passwordEdit");
        edit->setText("secret");
        EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
        QAccessibleInterface* field2 = QAccessible::queryAccessibleInterface(edit);
        EXPECT_EQ(field2->text(QAccessible::Name), password);
        EXPECT_TRUE(field2->state().passwordEdit);
        EXPECT_FALSE(field2->text(QAccessible::Value).contains("secret"));
    }
}

} // namespace
} // namespace tolvane::test
