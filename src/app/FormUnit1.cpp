// The control window's controls and handlers.
#include "app/FormUnit1.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QUrl>
#include <QtGlobal>

#include <cctype>
#include <charconv>
#include <exception>

#include "app/ApplicationHandlers.h"
#include "util/lumMainThread.h"

namespace quillon {

int StrToInt(const std::string& aText) {
  std::size_t i = 0;
  while (i < aText.size() && (aText[i] == ' ' || aText[i] == '\t')) ++i;
  bool negative = false;
  if (i < aText.size() && (aText[i] == '+' || aText[i] == '-')) negative = aText[i++] == '-';
  // Parsed as unsigned and negated by hand, so "-2147483648" is in range and "--1" is not.
  unsigned long long magnitude = 0;
  const char* first = aText.data() + i;
  const char* last = aText.data() + aText.size();
  const auto [ptr, ec] = std::from_chars(first, last, magnitude);
  const unsigned long long limit = negative ? 2147483648ULL : 2147483647ULL;
  if (first == last || ec != std::errc() || ptr != last || magnitude > limit)
    throw EConvertError("'" + aText + "' is not a valid integer value");
  return negative ? static_cast<int>(-static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
}

QFont WindowFont() {
  static const bool registered = [] {
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)) return true;
    bool any = false;
    for (const char* file : {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"})
      any = QFontDatabase::addApplicationFont(QString::fromUtf8(file)) >= 0 || any;
    return any;
  }();
  (void)registered;
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(11);
  return font;
}

TForm1::TForm1(QWidget* aParent) : QWidget(aParent) {
  OpenURL = [](const QUrl& aUrl) { return QDesktopServices::openUrl(aUrl); };
  CreateControls();
  FormCreate();
  // The application's idle moment: the loop has nothing left to do and is about to wait.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { ApplicationEvents1Idle(); });
}

TForm1::~TForm1() {
  // Workers call into the window's handlers while the server is active.
  try {
    FServer->SetActive(false);
  } catch (const std::exception&) {
  }
  FServer.reset();
  FOAuth2.reset();
}

void TForm1::CreateControls() {
  setWindowTitle(QStringLiteral("Quillon WebBrokerBridge HTTPAPI"));
  setFont(WindowFont());
  QPalette colours = palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::Button));
  setPalette(colours);
  setAutoFillBackground(true);
  resize(497, 256);
  move(271, 114);

  auto button = [this](const char* aName, const char* aCaption, QRect aRect) {
    auto* b = new QPushButton(QString::fromUtf8(aCaption), this);
    b->setObjectName(QString::fromUtf8(aName));
    b->setGeometry(aRect);
    return b;
  };
  auto group = [this](const char* aName, const char* aCaption, QRect aRect) {
    auto* g = new QGroupBox(QString::fromUtf8(aCaption), this);
    g->setObjectName(QString::fromUtf8(aName));
    g->setGeometry(aRect);
    return g;
  };
  auto label = [](QWidget* aParent, const char* aName, const char* aCaption, QRect aRect) {
    auto* l = new QLabel(QString::fromUtf8(aCaption), aParent);
    l->setObjectName(QString::fromUtf8(aName));
    l->setGeometry(aRect);
    return l;
  };
  auto check = [](QWidget* aParent, const char* aName, const char* aCaption, QRect aRect) {
    auto* c = new QCheckBox(QString::fromUtf8(aCaption), aParent);
    c->setObjectName(QString::fromUtf8(aName));
    c->setGeometry(aRect);
    c->setChecked(false);
    return c;
  };
  auto edit = [](QWidget* aParent, const char* aName, const std::string& aText, QRect aRect) {
    auto* e = new QLineEdit(QString::fromStdString(aText), aParent);
    e->setObjectName(QString::fromUtf8(aName));
    e->setGeometry(aRect);
    return e;
  };

  const TOAuth2Settings defaults;
  ButtonStart = button("ButtonStart", "Start", {24, 8, 75, 25});
  ButtonStop = button("ButtonStop", "Stop", {24, 52, 75, 25});
  ButtonOpenBrowser = button("ButtonOpenBrowser", "Open Datasnap", {105, 208, 107, 25});
  Button1 = button("Button1", "Open WebSocket", {376, 208, 97, 25});
  GroupBox2 = group("GroupBox2", "Server Options", {105, 7, 368, 70});
  Label1 = label(GroupBox2, "Label1", "Port", {17, 26, 20, 13});
  chkSSL = check(GroupBox2, "chkSSL", "Enable SSL and set Hash Certificate", {108, 16, 205, 17});
  EditPort = edit(GroupBox2, "EditPort", "5420", {43, 23, 49, 21});
  txtHash = edit(GroupBox2, "txtHash", "", {108, 39, 245, 21});
  GroupBox1 = group("GroupBox1", "OAuth2 Options", {105, 83, 368, 119});
  Label2 = label(GroupBox1, "Label2", "App Name", {98, 15, 49, 13});
  Label3 = label(GroupBox1, "Label3", "Redirect URL", {224, 15, 62, 13});
  Label4 = label(GroupBox1, "Label4", "Client Id", {98, 61, 40, 13});
  Label5 = label(GroupBox1, "Label5", "Client Secret", {225, 61, 61, 13});
  txtRedirectURI = edit(GroupBox1, "txtRedirectURI", defaults.RedirectURI, {224, 34, 129, 21});
  txtClientId = edit(GroupBox1, "txtClientId", defaults.ClientId, {98, 80, 104, 21});
  txtClientSecret = edit(GroupBox1, "txtClientSecret", defaults.ClientSecret, {224, 80, 129, 21});
  txtAppName = edit(GroupBox1, "txtAppName", defaults.AppName, {98, 34, 104, 21});
  chkOAuth2 = check(GroupBox1, "chkOAuth2", "Enabled", {17, 34, 75, 17});

  // Tab order: the window's controls, then each group box's own, group by group.
  QWidget* const order[] = {ButtonStart, ButtonStop, ButtonOpenBrowser, Button1,
                            chkSSL, EditPort, txtHash,
                            txtRedirectURI, txtClientId, txtClientSecret, txtAppName, chkOAuth2};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);

  connect(ButtonStart, &QPushButton::clicked, this, [this] { ButtonStartClick(); });
  connect(ButtonStop, &QPushButton::clicked, this, [this] { ButtonStopClick(); });
  connect(ButtonOpenBrowser, &QPushButton::clicked, this, [this] { ButtonOpenBrowserClick(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

void TForm1::FormCreate() {
  FOAuth2 = std::make_unique<TlumHTTP_OAuth2_Server>();
  FOAuth2->OnOAuth2Authentication = OnOAuth2AuthenticationEvent;
  FServer = std::make_unique<TlumWSServer_HTTPAPI_WebBrokerBridge>();
  FServer->OnCommandRequest = OnCommandRequestEvent;
  // Raised on a worker: touches nothing but the connection and the text.
  FServer->OnMessage = [](TlumWSConnection* aConnection, const std::string& aText) {
    aConnection->WriteData(aText);
  };
}

void TForm1::ApplicationEvents1Idle() {
  const bool active = FServer->Active();
  ButtonStart->setEnabled(!active);
  EditPort->setEnabled(!active);
  ButtonStop->setEnabled(active);
}

void TForm1::StartServer() {
  if (FServer->Active()) return;
  FServer->Bindings().Clear();
  FServer->SetPort(StrToInt(EditPort->text().toStdString()));
  if (chkSSL->isChecked()) FServer->SSLOptions().Hash = txtHash->text().toStdString();
  FServer->SetSSL(chkSSL->isChecked());
  FServer->Authentication().Enabled = false;
  FServer->Authentication().Basic.Enabled = false;
  FServer->Authentication().OAuth.OAuth2 = nullptr;
  TOAuth2Settings oauth2;
  oauth2.Enabled = chkOAuth2->isChecked();
  oauth2.AppName = txtAppName->text().toStdString();
  oauth2.RedirectURI = txtRedirectURI->text().toStdString();
  oauth2.ClientId = txtClientId->text().toStdString();
  oauth2.ClientSecret = txtClientSecret->text().toStdString();
  ApplyOAuth2Step(*FServer, *FOAuth2, oauth2);
  FServer->SetActive(true);
}

void TForm1::TerminateSessions() { quillon::TerminateSessions(); }

void TForm1::ButtonStartClick() {
  Guarded([this] { StartServer(); });
}

void TForm1::ButtonStopClick() {
  Guarded([this] {
    TerminateSessions();
    FServer->SetActive(false);
    FServer->Bindings().Clear();
  });
}

void TForm1::OpenBrowser(const char* aPath) {
  Guarded([this, aPath] {
    StartServer();
    const QString address = QStringLiteral("http") + (chkSSL->isChecked() ? QStringLiteral("s") : QString()) +
                            QStringLiteral("://127.0.0.1:%1").arg(EditPort->text()) + QString::fromUtf8(aPath);
    // Said rather than swallowed: otherwise the button seems to do nothing.
    if (!OpenURL || !OpenURL(QUrl(address)))
      throw std::runtime_error("No browser could be started for " + address.toStdString() + ".");
  });
}

void TForm1::ButtonOpenBrowserClick() { OpenBrowser(""); }

void TForm1::Button1Click() { OpenBrowser("/Quillon.html"); }

void TForm1::Guarded(const std::function<void()>& aWork) {
  QString message;
  try {
    aWork();
    return;
  } catch (const std::exception& e) {
    message = QString::fromUtf8(e.what());
  } catch (...) {
    message = QStringLiteral("Unknown error.");
  }
  QMessageBox::critical(this, QGuiApplication::applicationDisplayName(), message);
}

namespace {
void DrainMainThreadQueue() {
  try {
    MainThreadQueue::CheckSynchronize();
  } catch (const std::exception& e) {
    qWarning("quillon: %s", e.what());
  }
}
}  // namespace

TQtMainThreadDrain::TQtMainThreadDrain() {
  MainThreadQueue::SetMainThread();
  MainThreadQueue::SetWakeMainThread([] {
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, &DrainMainThreadQueue, Qt::QueuedConnection);
  });
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &FContext, &DrainMainThreadQueue);
}

TQtMainThreadDrain::~TQtMainThreadDrain() { MainThreadQueue::SetWakeMainThread(nullptr); }

}  // namespace quillon
