// The client as screen readers and keyboards reach it: every control named
// with a sensible role in both languages, the status lines' changes reaching
// the accessibility layer (Qt's, and the desktop's bus where this machine has
// one), the focus, the mnemonics of the Chinese menus, Save Speech As's keys
// without a desktop environment, and link colours from the palette.
#include "FakeSpeechServer.h"
#include "GuiClient.h"
#include "ProtocolTestSupport.h"
#include "SayTestSupport.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "ui/OptionsSheet.h"

#include <QAccessible>
#include <QAccessibleEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
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

// The role a screen reader should be told for each kind of control, the
// more derived kinds first; a kind not listed is reported.
QAccessible::Role expectedRole(const QWidget* widget) {
    static const std::pair<const QMetaObject*, QAccessible::Role> kRoles[] = {
        {&ui::LinkLabel::staticMetaObject, QAccessible::Link},
        {&QLabel::staticMetaObject, QAccessible::StaticText},
        {&QCheckBox::staticMetaObject, QAccessible::CheckBox},
        {&QAbstractButton::staticMetaObject, QAccessible::Button},
        {&QPlainTextEdit::staticMetaObject, QAccessible::EditableText},
        {&QLineEdit::staticMetaObject, QAccessible::EditableText},
        {&QListWidget::staticMetaObject, QAccessible::List},
        {&QComboBox::staticMetaObject, QAccessible::ComboBox},
        {&QProgressBar::staticMetaObject, QAccessible::ProgressBar},
        {&QTabBar::staticMetaObject, QAccessible::PageTabList},
        {&QSlider::staticMetaObject, QAccessible::Slider},
    };
    for (const auto& [kind, role] : kRoles) {
        if (widget->inherits(kind->className())) {
            return role;
        }
    }
    return QAccessible::NoRole;
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

// What the accessibility layer is told: each name change with the name then.
class NameChanges {
  public:
    NameChanges() {
        QAccessible::setActive(true); // as when a screen reader listens
        QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
            if (event->type() == QAccessible::NameChanged && event->accessibleInterface()) {
                seen_.emplace_back(event->object(),
                                   event->accessibleInterface()->text(QAccessible::Name));
            }
        });
    }
    ~NameChanges() {
        QAccessible::installUpdateHandler(nullptr);
        QAccessible::setActive(false);
    }
    std::vector<QString> of(QObject* object) const {
        std::vector<QString> names;
        for (const auto& [from, name] : seen_) {
            if (from == object) {
                names.push_back(name);
            }
        }
        return names;
    }

  private:
    static inline std::vector<std::pair<QObject*, QString>> seen_;
};

// A failure, the counter and the playing time are told to screen readers as
// they change; the failure in full, even where the window cuts it.
TEST(Access, StatusCounterAndTimeReachTheAccessibilityLayer) {
    // On the desktop the layer comes on once the accessibility bus answers;
    // AccessBus names the session bus, which the test's own home clears.
    if (const char* bus = getenv("TOLVANE_TEST_SESSION_BUS")) {
        setenv("DBUS_SESSION_BUS_ADDRESS", bus, 1);
    }
    if (QGuiApplication::platformName() == "offscreen" ||
        !QTest::qWaitFor([] { return QAccessible::isActive(); }, 10000)) {
        GTEST_SKIP() << "the accessibility layer is off on this platform; "
                        "AccessBus runs this test under Xvfb with the accessibility bus";
    }
    std::string error;
    const std::string mp3 = makeToneMp3(2.5, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    FakeSpeechServer server;
    const std::string reason(300, 'x');
    server.peer.answer(
        "/add", 200, "item=tolvane&action=add&status=failed&uuid=null&errcode=7&errmsg=" + reason);
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    const NameChanges changes;
    client.type("Four");
    EXPECT_THAT(changes.of(client.control(control::kCounter)), ::testing::Contains("4/1000"));
    client.click(control::kPlayNow);
    auto* status = client.control<QLabel>(control::kStatus);
    ASSERT_TRUE(QTest::qWaitFor([&] { return status->toolTip().contains("xxx"); }, 20000))
        << client.text(control::kStatus);
    EXPECT_THAT(changes.of(status), ::testing::Contains(status->toolTip()));

    server.peer.answer("/add", 200, FakeSpeechServer::kAdded);
    server.audioAt(audio.url());
    client.click(control::kPlayNow);
    ASSERT_TRUE(client.waitStatus("Completed")) << client.text(control::kStatus);
    EXPECT_THAT(changes.of(client.control(control::kTime)),
                ::testing::Contains(::testing::Property(
                    &QString::toStdString, ::testing::MatchesRegex("00:00:0[0-9]/00:00:02"))));
    EXPECT_THAT(changes.of(status), ::testing::Contains("Completed"));
}

// Alt with the English menu's letter opens each menu of the Chinese window.
TEST(Access, AltLettersOpenTheChineseMenus) {
    FakeSpeechServer server;
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=zh-CN\n"));
    ASSERT_TRUE(client.waitStatus("就绪 ..."));
    const QList<QAction*> menus = client.window().menuBar()->actions();
    ASSERT_EQ(menus.size(), 4);
    EXPECT_EQ(menus[0]->text(), "文件(&F)");
    const Qt::Key keys[] = {Qt::Key_F, Qt::Key_S, Qt::Key_R, Qt::Key_H};
    for (int i = 0; i < 4; ++i) {
        client.activate();
        QTest::keyClick(&client.window(), keys[i], Qt::AltModifier);
        QMenu* menu = menus[i]->menu();
        EXPECT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 2000))
            << menus[i]->text().toStdString();
        menu->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !menu->isVisible(); }, 2000));
    }
}

// After a feed is stopped the list has the focus again: the arrow keys move
// in it and Return reads the feed chosen.
TEST(Access, AStoppedFeedLeavesTheKeysInTheFeedList) {
    FakeSpeechServer server;
    server.peer.answer("/news", 200,
                       "item=tolvane&action=simplepie&title0=Item&description0=Text of the item "
                       "that is read for a while&time0=now&status=succeed&errcode=0&errmsg=null&"
                       "totalitems=1&maxrss=1&end=end");
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    auto* feeds = client.control<QListWidget>(control::kFeedList);
    client.activate();
    feeds->setFocus();
    feeds->setCurrentRow(0);
    QTest::keyClick(feeds, Qt::Key_Return);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return client.control(control::kStop)->isEnabled(); }, 20000));
    QTest::keyClick(&client.window(), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return feeds->isEnabled(); }, 20000));
    EXPECT_TRUE(feeds->hasFocus()) << QApplication::focusWidget()->objectName().toStdString();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(feeds->currentRow(), 1);
    const size_t before = server.requestsTo("/news");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requestsTo("/news") > before; }, 20000));
}

// Without a desktop environment (see kNoDesktop) Ctrl+Shift+S still opens
// Save Speech As.
TEST(Access, CtrlShiftSSavesWithoutADesktopEnvironment) {
    ASSERT_TRUE(kNoDesktop && qgetenv("XDG_CURRENT_DESKTOP").isEmpty());
    std::string error;
    const std::string mp3 = makeToneMp3(0.3, 440, error);
    ASSERT_FALSE(mp3.empty()) << error;
    AudioPeer audio(mp3, {});
    FakeSpeechServer server;
    server.audioAt(audio.url());
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    ASSERT_TRUE(client.waitStatus("Ready ..."));
    client.type("Saved by keys");
    client.click(control::kPlayNow);
    QAction* save = client.window().action(ui::MainWindow::kSaveSpeech);
    ASSERT_TRUE(QTest::qWaitFor([&] { return save->isEnabled(); }, 20000));
    bool asked = false;
    onNextModal([&](QWidget* modal) {
        asked = qobject_cast<QFileDialog*>(modal) != nullptr;
        chooseFile(modal, dir.path() / "keys.mp3");
    });
    client.activate();
    QTest::keyClick(&client.window(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return asked; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(dir.path() / "keys.mp3"); }));
}

// Under a dark palette the maker's link is drawn in the palette's light link
// colour.
TEST(Access, TheMakerLinkTakesThePalettesLinkColour) {
    FakeSpeechServer server;
    TempDir dir;
    Client client(writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n"));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xe0, 0xe0, 0xe0));
    dark.setColor(QPalette::Link, QColor(0x8a, 0xb4, 0xf8));
    client.window().setPalette(dark);
    QWidget* maker = client.control(control::kMakerLink);
    const QImage image = maker->grab().toImage();
    int lightest = 0;
    QColor lightestColour;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            if (colour.lightness() > lightest) {
                lightest = colour.lightness();
                lightestColour = colour;
            }
        }
    }
    // The text's core pixels are the link colour itself: light and blue.
    EXPECT_GT(lightest, 170) << lightestColour.name().toStdString();
    EXPECT_GT(lightestColour.blue(), lightestColour.red() + 60)
        << lightestColour.name().toStdString();
}

// Finds the client's status label on the accessibility bus (by its
// description) and prints its name once it is the one wanted.
constexpr char kReadStatus[] = R"(
import sys, time, pyatspi
def find(node, depth=0):
    if node is None or depth > 12:
        return None
    if node.description == "Status":
        return node
    for child in node:
        found = find(child, depth + 1)
        if found is not None:
            return found
    return None
last = None
deadline = time.time() + 30
while time.time() < deadline:
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "tolvane":
            label = find(app)
            last = label.name if label is not None else last
    if last == sys.argv[1]:
        print(last)
        sys.exit(0)
    time.sleep(0.2)
print("the status label said %r" % last)
sys.exit(1)
)";

// A display, a session bus and the desktop's accessibility bus of the test's
// own, or the reason they are not there.
class AccessibilityDesktop {
  public:
    // Starts them all; missing() says why not when this machine lacks a part.
    void start() {
        for (const char* program : {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/bin/dbus-send",
                                    kLauncher, "/usr/bin/python3"}) {
            if (access(program, X_OK) != 0) {
                missing_ = std::string(program) + " is not installed";
                return;
            }
        }
        if (run("/usr/bin/python3", {"-c", "import pyatspi"}).exitCode != 0) {
            missing_ = "python3-pyatspi is not installed";
            return;
        }
        std::string error;
        const std::string display = startXvfb(xvfb_, {}, error);
        ASSERT_FALSE(display.empty()) << error;
        env_.push_back("DISPLAY=" + display);
        const std::string address = startSessionBus(bus_, error);
        ASSERT_FALSE(address.empty()) << error;
        env_.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
        ASSERT_TRUE(launcher_.start(kLauncher, {"--launch-immediately"}, error, {.env = env_}))
            << error;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return run("/usr/bin/dbus-send",
                           {"--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                            "org.a11y.Bus.GetAddress"},
                           {.env = env_})
                           .out.find("unix:") != std::string::npos;
            },
            20000))
            << "the accessibility bus did not come" << saidAside(launcher_.err());
        env_.insert(env_.end(), {"QT_QPA_PLATFORM=xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
    }
    ~AccessibilityDesktop() {
        // The launcher ends with the session bus, and its accessibility bus
        // with it.
        bus_.terminate(5s);
        launcher_.terminate(5s);
        xvfb_.terminate(5s);
    }

    const std::string& missing() const { return missing_; }
    // What a program started on this desktop gets in its environment.
    const std::vector<std::string>& env() const { return env_; }

  private:
    static constexpr const char* kLauncher = "/usr/libexec/at-spi-bus-launcher";
    std::string missing_;
    std::vector<std::string> env_;
    ChildProcess xvfb_;
    ChildProcess bus_;
    ChildProcess launcher_;
};

// Through the desktop's accessibility bus as a screen reader reads it: the
// client's status label is named by its status. Then the in-process check of
// the accessibility layer, on a platform where the layer is on.
TEST(AccessBus, TheStatusReachesTheDesktopsAccessibilityBus) {
    AccessibilityDesktop desktop;
    desktop.start();
    if (HasFatalFailure()) {
        return;
    }
    if (!desktop.missing().empty()) {
        GTEST_SKIP() << "no accessibility bus to check here: " << desktop.missing();
    }
    FakeSpeechServer server;
    TempDir dir;
    std::vector<std::string> env = desktop.env();
    env.push_back(
        "TOLVANE_CONFIG=" +
        writeClientConfig(dir.path(), server.port(), "FILE", "language=en-US\n").string());
    env.push_back("XDG_RUNTIME_DIR=" + dir.path().string()); // an instance lock of its own
    std::string error;
    ChildProcess client;
    ASSERT_TRUE(client.start(binaryDir() + "/app/tolvane", {}, error, {.env = env})) << error;
    const RunResult read =
        run("/usr/bin/python3", {"-c", kReadStatus, "Ready ..."}, {.env = env}, 60s);
    EXPECT_EQ(read.exitCode, 0) << read.out << read.err << saidAside(client.err());
    EXPECT_EQ(read.out, "Ready ...\n");
    client.terminate(5s);

    env = desktop.env();
    for (const std::string& variable : desktop.env()) {
        if (variable.starts_with("DBUS_SESSION_BUS_ADDRESS=")) {
            env.push_back("TOLVANE_TEST_SESSION_BUS=" + variable.substr(variable.find('=') + 1));
        }
    }
    const RunResult layer = run(
        "/proc/self/exe", {"--gtest_filter=Access.StatusCounterAndTimeReachTheAccessibilityLayer"},
        {.env = env}, 120s);
    EXPECT_EQ(layer.exitCode, 0) << layer.out << layer.err;
    EXPECT_THAT(layer.out, ::testing::HasSubstr("[  PASSED  ] 1 test")) << layer.out;
}

} // namespace
} // namespace tolvane::test
