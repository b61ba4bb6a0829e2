// The framework's module pool and its process-wide accessors.
#include "platform/webbroker/Web_WebReq.h"

#include <iostream>

namespace quillon {

namespace {

struct TGlobals {
  std::mutex Lock;
  TWebRequestHandlerProc HandlerProc;
  TApplicationExceptionHandler ExceptionHandler;
};

TGlobals& Globals() {
  // Never destroyed: units that end at exit may still reach it.
  static TGlobals* g = new TGlobals();
  return *g;
}

// Gives the module back to the pool however the request ends.
class TModuleLease {
 public:
  TModuleLease(std::unique_ptr<TComponent> aModule, std::function<void(std::unique_ptr<TComponent>)> aReturn)
      : FModule(std::move(aModule)), FReturn(std::move(aReturn)) {}
  ~TModuleLease() { FReturn(std::move(FModule)); }
  TModuleLease(const TModuleLease&) = delete;
  TModuleLease& operator=(const TModuleLease&) = delete;
  TComponent* get() const { return FModule.get(); }

 private:
  std::unique_ptr<TComponent> FModule;
  std::function<void(std::unique_ptr<TComponent>)> FReturn;
};

}  // namespace

void SetWebRequestHandlerProc(TWebRequestHandlerProc aProc) {
  std::lock_guard lock(Globals().Lock);
  Globals().HandlerProc = std::move(aProc);
}

TWebRequestHandler* WebRequestHandler() {
  TWebRequestHandlerProc proc;
  {
    std::lock_guard lock(Globals().Lock);
    proc = Globals().HandlerProc;
  }
  return proc ? proc() : nullptr;
}

void SetApplicationExceptionHandler(TApplicationExceptionHandler aHandler) {
  std::lock_guard lock(Globals().Lock);
  Globals().ExceptionHandler = std::move(aHandler);
}

void ApplicationHandleException(TObject* Sender, const std::exception& E) {
  TApplicationExceptionHandler handler;
  {
    std::lock_guard lock(Globals().Lock);
    handler = Globals().ExceptionHandler;
  }
  if (handler) {
    handler(Sender, E);
  } else {
    std::cerr << E.what() << "\n";
  }
}

// ---------------------------------------------------------------------------------------

TWebRequestHandler::TWebRequestHandler(TComponent* /*AOwner*/) {}

TWebRequestHandler::~TWebRequestHandler() { FreeModules(); }

void TWebRequestHandler::SetWebModuleClass(TComponentClass AClass) {
  std::lock_guard lock(FLock);
  FWebModuleClass = std::move(AClass);
}

TComponentClass TWebRequestHandler::WebModuleClass() {
  std::lock_guard lock(FLock);
  return FWebModuleClass;
}

int TWebRequestHandler::ActiveCount() {
  std::lock_guard lock(FLock);
  return FActiveCount;
}

int TWebRequestHandler::InactiveCount() {
  std::lock_guard lock(FLock);
  return static_cast<int>(FInactive.size());
}

void TWebRequestHandler::FreeModules() {
  std::vector<std::unique_ptr<TComponent>> gone;
  {
    std::lock_guard lock(FLock);
    gone.swap(FInactive);
  }
  // Destroyed outside the lock: a module's destructor is application code.
}

std::unique_ptr<TComponent> TWebRequestHandler::TakeModule() {
  TComponentClass cls;
  {
    std::lock_guard lock(FLock);
    if (!FWebModuleClass) throw EWebBrokerException("No data modules registered");
    if (FActiveCount >= FMaxConnections) {
      throw EWebBrokerTooBusy("Maximum number of concurrent connections exceeded.  Please try again later");
    }
    ++FActiveCount;
    if (!FInactive.empty()) {
      std::unique_ptr<TComponent> m = std::move(FInactive.back());
      FInactive.pop_back();
      return m;
    }
    cls = FWebModuleClass;
  }
  // A new module is built outside the lock; its slot is already counted.
  try {
    return cls.Create();
  } catch (...) {
    std::lock_guard lock(FLock);
    --FActiveCount;
    throw;
  }
}

void TWebRequestHandler::ReturnModule(std::unique_ptr<TComponent> aModule) {
  if (auto* d = dynamic_cast<TCustomWebDispatcher*>(aModule.get())) d->ClearCurrent();
  std::unique_ptr<TComponent> gone;
  {
    std::lock_guard lock(FLock);
    --FActiveCount;
    if (FCacheConnections && aModule) {
      FInactive.push_back(std::move(aModule));
    } else {
      gone = std::move(aModule);
    }
  }
}

bool TWebRequestHandler::HandleRequest(TWebRequest& Request, TWebResponse& Response) {
  TModuleLease lease(TakeModule(),
                     [this](std::unique_ptr<TComponent> m) { ReturnModule(std::move(m)); });
  TComponent* module = lease.get();
  bool handled = false;
  try {
    if (auto* h = dynamic_cast<IWebRequestHandler*>(module)) {
      handled = h->HandleRequest(Request, Response);
    } else if (auto* d = dynamic_cast<TCustomWebDispatcher*>(module)) {
      handled = d->DispatchAction(Request, Response);
    } else {
      throw EWebBrokerException("Invalid class typecast");
    }
    if (handled && !Response.Sent()) Response.SendResponse();
  } catch (const std::exception& e) {
    if (auto* h = dynamic_cast<IWebExceptionHandler*>(module)) {
      bool done = false;
      h->HandleException(e, done);
      if (!done) throw;
      handled = true;
    } else {
      ApplicationHandleException(module, e);
    }
  }
  return handled;
}

void TWebRequestHandler::HandleException(TObject* Sender, const std::exception& E) {
  if (auto* h = dynamic_cast<IWebExceptionHandler*>(Sender)) {
    bool handled = false;
    h->HandleException(E, handled);
    if (handled) return;
  }
  std::cerr << E.what() << "\n";
}

}  // namespace quillon
