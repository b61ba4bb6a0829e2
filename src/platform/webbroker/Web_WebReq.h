// The framework's request handler: a pool of web modules of one class (32 at most at once,
// idle ones kept for reuse), the replaceable accessor through which the program finds the
// process-wide handler, and the process-wide handler for errors raised in components.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/webbroker/Web_HTTPApp.h"

namespace quillon {

// All MaxConnections modules are busy: the request may be tried again later.
class EWebBrokerTooBusy : public EWebBrokerException {
 public:
  using EWebBrokerException::EWebBrokerException;
};

class TWebRequestHandler : public TComponent {
 public:
  explicit TWebRequestHandler(TComponent* AOwner = nullptr);
  ~TWebRequestHandler() override;
  TWebRequestHandler(const TWebRequestHandler&) = delete;
  TWebRequestHandler& operator=(const TWebRequestHandler&) = delete;

  // Takes an idle module (or makes one), lets it dispatch, sends the answer when handled
  // and not yet sent, and puts the module back. An error inside goes to the module's
  // exception handling. Raises "No data modules registered" without a class and
  // "Maximum number of concurrent connections exceeded.  Please try again later" when
  // MaxConnections modules are busy.
  bool HandleRequest(TWebRequest& Request, TWebResponse& Response);
  // Frees the idle modules (busy ones go when they come back).
  void FreeModules();
  // Hands an error raised in a component to its IWebExceptionHandler, else shows it.
  void HandleException(TObject* Sender, const std::exception& E);

  void SetWebModuleClass(TComponentClass AClass);
  TComponentClass WebModuleClass();
  int MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(int Value) { FMaxConnections = Value; }
  bool CacheConnections() const { return FCacheConnections; }
  void SetCacheConnections(bool Value) { FCacheConnections = Value; }
  int ActiveCount();
  int InactiveCount();

 private:
  std::unique_ptr<TComponent> TakeModule();
  void ReturnModule(std::unique_ptr<TComponent> aModule);

  // Guards the class and both lists; never held while a module runs.
  std::mutex FLock;
  TComponentClass FWebModuleClass;
  std::vector<std::unique_ptr<TComponent>> FInactive;
  int FActiveCount = 0;
  int FMaxConnections = 32;
  bool FCacheConnections = true;
};

// The replaceable accessor; WebRequestHandler() calls it (null when none is installed).
using TWebRequestHandlerProc = std::function<TWebRequestHandler*()>;
void SetWebRequestHandlerProc(TWebRequestHandlerProc aProc);
TWebRequestHandler* WebRequestHandler();

// The process-wide handler for errors in components; without one the error is printed.
using TApplicationExceptionHandler = std::function<void(TObject* Sender, const std::exception& E)>;
void SetApplicationExceptionHandler(TApplicationExceptionHandler aHandler);
void ApplicationHandleException(TObject* Sender, const std::exception& E);

}  // namespace quillon
