// The control window driven on a virtual X display of its own (Xvfb): its controls against
// the table they are built from, the idle update of the enabled states, the buttons with real
// HTTP and WebSocket clients against the server they start, the error boxes, and the
// browser buttons with the browser-opening call replaced by a recorder.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFontInfo>
#include <QImage>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QtTest/QTest>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/ApplicationHandlers.h"
#include "app/FormUnit1.h"
#include "platform/httpapi/CertStore.h"
#include "platform/win32/SysErrorMessage.h"
#include "support/LoopbackClient.h"

using namespace quillon;

namespace {

// Lets the loop run until it waits, so the window's idle handler has run.
void Settle(int aMilliseconds = 20) {
  QEventLoop loop;
  QTimer::singleShot(aMilliseconds, &loop, &QEventLoop::quit);
  loop.exec();
}

// One run of window_clients.py; its JSON answer.
QJsonObject Client(const QStringList& aArguments) {
  QProcess process;
  process.start(QStringLiteral("/usr/bin/python3"),
                QStringList{QStringLiteral(QUILLON_TESTS_DIR "/app/window_clients.py")} + aArguments);
  if (!process.waitForFinished(30000)) {
    process.kill();
    process.waitForFinished();
    return QJsonObject{{"error", "client timed out"}};
  }
  const QJsonDocument answer = QJsonDocument::fromJson(process.readAllStandardOutput());
  if (!answer.isObject()) return QJsonObject{{"error", QString::fromUtf8(process.readAllStandardError())}};
  return answer.object();
}

QJsonObject Get(const QString& aUrl) { return Client({QStringLiteral("get"), aUrl}); }
QJsonObject Echo(const QString& aUrl, const QString& aText) {
  return Client({QStringLiteral("echo"), aUrl, aText});
}

// Closes every error box the window opens (they are modal and would block the test) and
// keeps what they said.
class MessageBoxCloser {
 public:
  MessageBoxCloser() {
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Texts.push_back(box->text().toStdString());
        Icons.push_back(box->icon());
        box->done(QMessageBox::Ok);
      }
    });
    FTimer.start(10);
  }
  std::vector<std::string> Texts;
  std::vector<QMessageBox::Icon> Icons;

 private:
  QTimer FTimer;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Form = std::make_unique<TForm1>();
    Form->OpenURL = [this](const QUrl& aUrl) {
      Opened.push_back(aUrl.toString().toStdString());
      return true;
    };
    Port = loopback::FreePort();
    Form->EditPort->setText(QString::number(Port));
    Form->Server().OnBeforeBinding = [this](TlumWSServer_HTTPAPI*, std::vector<std::string>&) { ++Activations; };
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    Settle();
  }
  void TearDown() override {
    Form.reset();
    Settle();
  }

  QString Base(const char* aScheme = "http") const {
    return QStringLiteral("%1://127.0.0.1:%2").arg(QString::fromUtf8(aScheme)).arg(Port);
  }
  // Clicks like a user, then lets the idle handler run.
  static void Click(QPushButton* aButton) {
    QTest::mouseClick(aButton, Qt::LeftButton);
    Settle();
  }
  // What the enabled states show: Start, the port field, Stop.
  std::vector<bool> States() const {
    return {Form->ButtonStart->isEnabled(), Form->EditPort->isEnabled(), Form->ButtonStop->isEnabled()};
  }
  static std::vector<bool> Inactive() { return {true, true, false}; }
  static std::vector<bool> Active() { return {false, false, true}; }

  std::unique_ptr<TForm1> Form;
  std::vector<std::string> Opened;
  int Port = 0;
  int Activations = 0;
};

std::string Rect(const QWidget* aWidget) {
  const QRect r = aWidget->geometry();
  return std::to_string(r.left()) + "," + std::to_string(r.top()) + "," + std::to_string(r.width()) + "," +
         std::to_string(r.height());
}

std::string Caption(const QWidget* aWidget) {
  if (auto* b = qobject_cast<const QAbstractButton*>(aWidget)) return b->text().toStdString();
  if (auto* g = qobject_cast<const QGroupBox*>(aWidget)) return g->title().toStdString();
  if (auto* l = qobject_cast<const QLabel*>(aWidget)) return l->text().toStdString();
  if (auto* e = qobject_cast<const QLineEdit*>(aWidget)) return e->text().toStdString();
  return "?";
}

TEST_F(WindowTest, ControlsCaptionsPositionsAndCreationOrderAreTheTable) {
  EXPECT_EQ(Form->windowTitle().toStdString(), "Quillon WebBrokerBridge HTTPAPI");
  EXPECT_EQ(Form->size(), QSize(497, 256));
  EXPECT_EQ(Form->pos(), QPoint(271, 114));
  const QFontInfo font(Form->font());
  EXPECT_EQ(font.family().toStdString(), "Tahoma");
  EXPECT_EQ(font.pixelSize(), 11);
  EXPECT_EQ(Form->palette().color(QPalette::Window), Form->palette().color(QPalette::Button));

  struct Row {
    const char* name;
    const char* kind;
    const char* parent;
    const char* rect;
    const char* caption;
  };
  const Row rows[] = {
      {"ButtonStart", "QPushButton", "", "24,8,75,25", "Start"},
      {"ButtonStop", "QPushButton", "", "24,52,75,25", "Stop"},
      {"ButtonOpenBrowser", "QPushButton", "", "105,208,107,25", "Open Datasnap"},
      {"Button1", "QPushButton", "", "376,208,97,25", "Open WebSocket"},
      {"GroupBox2", "QGroupBox", "", "105,7,368,70", "Server Options"},
      {"Label1", "QLabel", "GroupBox2", "17,26,20,13", "Port"},
      {"chkSSL", "QCheckBox", "GroupBox2", "108,16,205,17", "Enable SSL and set Hash Certificate"},
      {"EditPort", "QLineEdit", "GroupBox2", "43,23,49,21", "5420"},
      {"txtHash", "QLineEdit", "GroupBox2", "108,39,245,21", ""},
      {"GroupBox1", "QGroupBox", "", "105,83,368,119", "OAuth2 Options"},
      {"Label2", "QLabel", "GroupBox1", "98,15,49,13", "App Name"},
      {"Label3", "QLabel", "GroupBox1", "224,15,62,13", "Redirect URL"},
      {"Label4", "QLabel", "GroupBox1", "98,61,40,13", "Client Id"},
      {"Label5", "QLabel", "GroupBox1", "225,61,61,13", "Client Secret"},
      {"txtRedirectURI", "QLineEdit", "GroupBox1", "224,34,129,21", "http://127.0.0.1:8080"},
      {"txtClientId", "QLineEdit", "GroupBox1", "98,80,104,21", "client-id"},
      {"txtClientSecret", "QLineEdit", "GroupBox1", "224,80,129,21", "amber-walnuts"},
      {"txtAppName", "QLineEdit", "GroupBox1", "98,34,104,21", "MyApp"},
      {"chkOAuth2", "QCheckBox", "GroupBox1", "17,34,75,17", "Enabled"},
  };
  // A fresh window: the fixture has not typed its port yet.
  TForm1 fresh;
  std::vector<std::string> created;
  for (QWidget* w : fresh.findChildren<QWidget*>()) {
    if (!w->objectName().isEmpty() && !w->objectName().startsWith(QStringLiteral("qt_")))
      created.push_back(w->objectName().toStdString());
  }
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expected.push_back(row.name);
    auto* w = fresh.findChild<QWidget*>(QString::fromUtf8(row.name));
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), row.kind);
    const QWidget* parent = w->parentWidget();
    EXPECT_EQ(parent == &fresh ? std::string() : parent->objectName().toStdString(), row.parent);
    EXPECT_EQ(Rect(w), row.rect);
    EXPECT_EQ(Caption(w), row.caption);
    if (auto* c = qobject_cast<QCheckBox*>(w)) {
      EXPECT_FALSE(c->isChecked());
    }
  }
  EXPECT_EQ(created, expected);
}

TEST_F(WindowTest, TabWalksTheWindowThenEachGroupBoxInItsOrder) {
  const std::vector<std::string> order = {
      "ButtonStart", "ButtonStop",     "ButtonOpenBrowser", "Button1",         "chkSSL",     "EditPort",
      "txtHash",     "txtRedirectURI", "txtClientId",       "txtClientSecret", "txtAppName", "chkOAuth2"};
  // Tab skips what is disabled: Stop while inactive, Start and the port while active.
  auto walk = [&](QWidget* aFrom, std::size_t aSteps) {
    aFrom->setFocus(Qt::OtherFocusReason);
    Settle();
    std::vector<std::string> walked;
    for (std::size_t i = 0; i < aSteps; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      walked.push_back(QApplication::focusWidget() ? QApplication::focusWidget()->objectName().toStdString()
                                                   : "");
    }
    return walked;
  };
  auto without = [&](std::initializer_list<const char*> aSkipped, std::size_t aFirst) {
    std::vector<std::string> expected;
    for (std::size_t i = 1; i <= order.size(); ++i) {
      const std::string& name = order[(aFirst + i) % order.size()];
      if (std::find(aSkipped.begin(), aSkipped.end(), name) == aSkipped.end()) expected.push_back(name);
    }
    return expected;
  };
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  EXPECT_EQ(walk(Form->ButtonStart, order.size() - 1), without({"ButtonStop"}, 0));
  Click(Form->ButtonStart);
  ASSERT_EQ(States(), Active());
  EXPECT_EQ(walk(Form->ButtonStop, order.size() - 2), without({"ButtonStart", "EditPort"}, 1));
}

TEST_F(WindowTest, StartServesTestPageAndEchoStopEndsIt) {
  EXPECT_EQ(States(), Inactive());
  Click(Form->ButtonStart);
  EXPECT_EQ(States(), Active());
  ASSERT_TRUE(Form->Server().Active());

  const QJsonObject page = Get(Base() + "/test");
  EXPECT_EQ(page["status"].toInt(), 200) << page["error"].toString().toStdString();
  EXPECT_EQ(page["body"].toString().toStdString(),
            "<html><head><title>Quillon Custom Page</title></head><body>... body ...</body></html>");
  // Only the exact document is the window's: these go to the web module, which redirects.
  for (const char* other : {"/test/", "/Test", "/testx"}) {
    const QJsonObject answer = Get(Base() + other);
    EXPECT_EQ(answer["status"].toInt(), 302) << other;
    EXPECT_EQ(answer["location"].toString().toStdString(), "/") << other;
  }
  const QString text = QStringLiteral("hello from the window test \u00e9\u4e16");
  const QJsonObject echoed = Echo(QStringLiteral("ws://127.0.0.1:%1/").arg(Port), text);
  EXPECT_EQ(echoed["echo"].toString(), text) << echoed["error"].toString().toStdString();

  Click(Form->ButtonStop);
  EXPECT_EQ(States(), Inactive());
  EXPECT_FALSE(Form->Server().Active());
  EXPECT_EQ(Form->Server().Bindings().Count(), 0);
  EXPECT_TRUE(Get(Base() + "/test").contains("error")) << "still answering after Stop";
  EXPECT_EQ(Activations, 1);
  EXPECT_TRUE(Opened.empty());
}

TEST_F(WindowTest, StartingTwiceActivatesOnce) {
  Click(Form->ButtonStart);
  Click(Form->ButtonOpenBrowser);  // starts nothing, opens the browser
  Form->ButtonStartClick();        // the button is disabled; its handler still must not restart
  Settle();
  EXPECT_EQ(Activations, 1);
  EXPECT_EQ(Form->Server().RegisteredBindings().size(), 1u);
  EXPECT_EQ(Opened, std::vector<std::string>{Base().toStdString()});
  EXPECT_EQ(Get(Base() + "/test")["status"].toInt(), 200);
}

TEST_F(WindowTest, BrowserButtonsStartTheServerAndOpenTheirAddress) {
  Click(Form->Button1);  // inactive: starts, then opens the test page
  EXPECT_EQ(States(), Active());
  Click(Form->ButtonOpenBrowser);
  EXPECT_EQ(Opened, (std::vector<std::string>{(Base() + "/Quillon.html").toStdString(), Base().toStdString()}));
  EXPECT_EQ(Activations, 1);
  // What the browser would get there: the built-in WebSocket test page.
  const QJsonObject page = Get(Base() + "/Quillon.html");
  EXPECT_EQ(page["status"].toInt(), 200);
  EXPECT_TRUE(page["body"].toString().contains(QStringLiteral("WebSocket")));
}

TEST_F(WindowTest, NonNumericPortShowsTheErrorAndStaysInactive) {
  for (const char* text : {"54x0", "", "5420 ", "99999999999"}) {
    SCOPED_TRACE(text);
    Form->EditPort->setText(QString::fromUtf8(text));
    for (QPushButton* button : {Form->ButtonStart, Form->ButtonOpenBrowser, Form->Button1}) {
      MessageBoxCloser boxes;
      Click(button);
      EXPECT_EQ(boxes.Texts, std::vector<std::string>{"'" + std::string(text) + "' is not a valid integer value"});
      EXPECT_EQ(boxes.Icons, std::vector<QMessageBox::Icon>{QMessageBox::Critical});
      EXPECT_FALSE(Form->Server().Active());
      EXPECT_EQ(States(), Inactive());
    }
  }
  EXPECT_TRUE(Opened.empty());
  EXPECT_EQ(Activations, 0);
}

TEST_F(WindowTest, TlsWithoutHashReadsActiveAndStopCleansUp) {
  Form->chkSSL->setChecked(true);
  {
    MessageBoxCloser boxes;
    Click(Form->ButtonStart);
    EXPECT_EQ(boxes.Texts, std::vector<std::string>{"Error SSL Hash not found."});
  }
  // The request-queue host exists by the time activation fails.
  EXPECT_TRUE(Form->Server().Active());
  EXPECT_EQ(States(), Active());
  // Already active: the browser opens without starting anything.
  Click(Form->Button1);
  EXPECT_EQ(Opened, std::vector<std::string>{(Base("https") + "/Quillon.html").toStdString()});

  Click(Form->ButtonStop);
  EXPECT_FALSE(Form->Server().Active());
  EXPECT_EQ(States(), Inactive());
  // Cleaned up: the same port starts again without TLS and serves.
  Form->chkSSL->setChecked(false);
  Click(Form->ButtonStart);
  EXPECT_EQ(States(), Active());
  EXPECT_EQ(Get(Base() + "/test")["status"].toInt(), 200);
}

// A number that is no port passes the conversion and fails in activation: the same state.
TEST_F(WindowTest, PortOutOfRangeFailsActivationAndStopCleansUp) {
  Form->EditPort->setText(QStringLiteral("70000"));
  {
    MessageBoxCloser boxes;
    Click(Form->ButtonStart);
    EXPECT_EQ(boxes.Texts, std::vector<std::string>{platform::SysErrorMessage(ERROR_INVALID_PARAMETER)});
  }
  EXPECT_EQ(States(), Active());
  Click(Form->ButtonStop);
  EXPECT_EQ(States(), Inactive());
  Form->EditPort->setText(QString::number(Port));
  Click(Form->ButtonStart);
  EXPECT_EQ(Get(Base() + "/test")["status"].toInt(), 200);
}

class WindowTlsTest : public WindowTest {
 protected:
  static void SetUpTestSuite() {
    Stores = std::filesystem::temp_directory_path() / ("quillon-window-test-" + std::to_string(getpid()));
    setenv("QUILLON_CERT_STORES", Stores.c_str(), 1);
    Hash = platform::CreateSelfSignedCertificate("MY", "127.0.0.1");
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(Stores, ec);
    unsetenv("QUILLON_CERT_STORES");
  }
  static inline std::filesystem::path Stores;
  static inline std::string Hash;
};

TEST_F(WindowTlsTest, TlsServesTheSamePagesAndEcho) {
  Form->chkSSL->setChecked(true);
  Form->txtHash->setText(QString::fromStdString(Hash));
  Click(Form->ButtonOpenBrowser);
  EXPECT_EQ(Opened, std::vector<std::string>{Base("https").toStdString()});
  EXPECT_FALSE(Form->Server().Authentication().Enabled);  // OAuth2 not checked
  EXPECT_EQ(Get(Base("https") + "/test")["status"].toInt(), 200);
  const QJsonObject echoed = Echo(QStringLiteral("wss://127.0.0.1:%1/").arg(Port), QStringLiteral("over tls"));
  EXPECT_EQ(echoed["echo"].toString().toStdString(), "over tls") << echoed["error"].toString().toStdString();
}

TEST_F(WindowTlsTest, OAuth2OnlyWithTlsAndOneAppPerStart) {
  Form->chkOAuth2->setChecked(true);
  // Without TLS the OAuth2 settings are ignored.
  Click(Form->ButtonStart);
  EXPECT_FALSE(Form->Server().Authentication().Enabled);
  EXPECT_EQ(Form->Server().Authentication().OAuth.OAuth2, nullptr);
  EXPECT_EQ(Form->OAuth2().Apps().Count(), 0);
  EXPECT_EQ(Get(Base() + "/test")["status"].toInt(), 200);
  Click(Form->ButtonStop);

  Form->chkSSL->setChecked(true);
  Form->txtHash->setText(QString::fromStdString(Hash));
  Form->txtClientId->setText(QStringLiteral("window-client"));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Click(Form->ButtonStart);
    ASSERT_EQ(States(), Active());
    EXPECT_TRUE(Form->Server().Authentication().Enabled);
    ASSERT_EQ(Form->OAuth2().Apps().Count(), 1);
    TlumHTTPOAuthApp* app = Form->OAuth2().Apps().GetApp("window-client");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(Get(Base("https") + "/test")["status"].toInt(), 401);
    // The authorization page is served without a token.
    const QJsonObject page = Get(Base("https") +
                                 "/lum/oauth2/auth?response_type=code&client_id=window-client"
                                 "&redirect_uri=http%3A%2F%2F127.0.0.1%3A8080&state=s");
    EXPECT_EQ(page["status"].toInt(), 200) << page["body"].toString().toStdString();
    Click(Form->ButtonStop);
  }
}

// A fresh window as the user first sees it, saved beside the test for a look.
TEST_F(WindowTest, ScreenshotOfTheWindow) {
  TForm1 fresh;
  fresh.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
  Settle();
  const QString file = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("quillon-window.png"));
  const QImage image = fresh.grab().toImage();
  EXPECT_EQ(image.size(), QSize(497, 256));
  ASSERT_TRUE(image.save(file)) << file.toStdString();
}

// Xvfb on a display number it picks itself (-displayfd), so parallel runs never collide.
class VirtualDisplay {
 public:
  bool Start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    FPid = fork();
    if (FPid == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (FPid < 0) return false;
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return false;
    setenv("DISPLAY", (":" + number).c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    return true;
  }
  ~VirtualDisplay() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }

 private:
  pid_t FPid = -1;
};

}  // namespace

// D-Bus, which Qt connects to for accessibility and the desktop services, keeps a buffer for
// the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  VirtualDisplay display;
  if (!display.Start()) {
    std::fprintf(stderr, "cannot start Xvfb (scripts/install-deps.sh installs it)\n");
    return 1;
  }
  ApplicationStartUp();
  int result = 0;
  {
    QApplication application(argc, argv);
    TQtMainThreadDrain drain;
    result = RUN_ALL_TESTS();
  }
  ApplicationFinish();
  return result;
}
