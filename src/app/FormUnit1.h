// The control window: starts and stops the bridge server on the port typed in, over TLS with
// a certificate hash when asked, with the OAuth2 authorization server for one application
// when TLS and OAuth2 are both checked, and opens the server's pages in the browser.
// Qt 6 Widgets; the headless host (quillon-server) runs the same application without it.
#pragma once

#include <QFont>
#include <QObject>
#include <QWidget>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"
#include "oauth2/lumHTTP_OAuth2_Server.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QUrl;

namespace quillon {

// The runtime's error for a text that is not an integer.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The integer value of a decimal text (leading blanks and a sign allowed); EConvertError
// ("'abc' is not a valid integer value") for anything else or a value beyond int.
int StrToInt(const std::string& aText);

class TForm1 : public QWidget {
 public:
  // Opens an address in the user's default browser; true when the request was handed on.
  using TOpenURL = std::function<bool(const QUrl&)>;

  explicit TForm1(QWidget* aParent = nullptr);
  ~TForm1() override;

  // ---- Handlers (the GUI thread). ----
  void FormCreate();
  void ApplicationEvents1Idle();
  void ButtonStartClick();
  void ButtonStopClick();
  void ButtonOpenBrowserClick();
  void Button1Click();
  // The common start step of the three starting buttons; raises what activation raises.
  void StartServer();
  void TerminateSessions();

  TlumWSServer_HTTPAPI_WebBrokerBridge& Server() { return *FServer; }
  TlumHTTP_OAuth2_Server& OAuth2() { return *FOAuth2; }

  // QDesktopServices::openUrl unless replaced (the tests record the addresses instead).
  TOpenURL OpenURL;

  // ---- Controls, in creation order. ----
  QPushButton* ButtonStart = nullptr;
  QPushButton* ButtonStop = nullptr;
  QPushButton* ButtonOpenBrowser = nullptr;
  QPushButton* Button1 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QLabel* Label1 = nullptr;
  QCheckBox* chkSSL = nullptr;
  QLineEdit* EditPort = nullptr;
  QLineEdit* txtHash = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* txtRedirectURI = nullptr;
  QLineEdit* txtClientId = nullptr;
  QLineEdit* txtClientSecret = nullptr;
  QLineEdit* txtAppName = nullptr;
  QCheckBox* chkOAuth2 = nullptr;

 private:
  void CreateControls();
  // Starts the server, then opens "http[s]://127.0.0.1:<port><aPath>" unless starting raised.
  void OpenBrowser(const char* aPath);
  // Runs a button's work; an exception it raises is shown in the toolkit's error box.
  void Guarded(const std::function<void()>& aWork);

  // Declared first: the server refers to it while active, so it goes last.
  std::unique_ptr<TlumHTTP_OAuth2_Server> FOAuth2;
  std::unique_ptr<TlumWSServer_HTTPAPI_WebBrokerBridge> FServer;
};

// Drains MainThreadQueue from the Qt main loop while it exists: on every wake-up the queue
// asks for, and whenever the loop is about to wait.
class TQtMainThreadDrain {
 public:
  TQtMainThreadDrain();
  ~TQtMainThreadDrain();
  TQtMainThreadDrain(const TQtMainThreadDrain&) = delete;
  TQtMainThreadDrain& operator=(const TQtMainThreadDrain&) = delete;

 private:
  QObject FContext;  // ends the loop's connections with this object
};

// The window's font: Tahoma, 11 pixels high (registered from Wine's font files when the
// system has no Tahoma of its own).
QFont WindowFont();

}  // namespace quillon
