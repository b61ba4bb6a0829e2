// The application's web module: the REST service of TServerMethods1 under "/datasnap", the
// ReverseString page at "/" and "/ReverseString", the server-function invoker for local
// clients at "/ServerFunctionInvoker", static files (not the templates), the generated
// "/js/serverfunctions.js" proxy, and a redirect to "/" for everything else.
#pragma once

#include <memory>
#include <string>

#include "platform/webbroker/Datasnap_DSHTTPWebBroker.h"
#include "platform/webbroker/Datasnap_DSProxyGenerator.h"
#include "platform/webbroker/Datasnap_DSServer.h"
#include "platform/webbroker/Web_HTTPProd.h"
#include "platform/webbroker/Web_WebFileDispatcher.h"

namespace quillon {

class TWebModule1 : public TWebModule {
 public:
  TWebModule1();
  ~TWebModule1() override;

  std::unique_ptr<TDSHTTPWebDispatcher> DSHTTPWebDispatcher1;
  std::unique_ptr<TDSServer> DSServer1;
  std::unique_ptr<TDSServerClass> DSServerClass1;
  std::unique_ptr<TPageProducer> ServerFunctionInvoker;
  std::unique_ptr<TPageProducer> ReverseString;
  std::unique_ptr<TWebFileDispatcher> WebFileDispatcher1;
  std::unique_ptr<TDSProxyGenerator> DSProxyGenerator1;
  std::unique_ptr<TDSServerMetaDataProvider> DSServerMetaDataProvider1;

  void WebModuleCreate(TObject* Sender);
  void WebModuleBeforeDispatch(TObject* Sender, TWebRequest& Request, TWebResponse& Response, bool& Handled);
  void WebModuleDefaultAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response, bool& Handled);
  void ServerFunctionInvokerHTMLTag(TObject* Sender, TTag Tag, const std::string& TagString,
                                    const TStrings& TagParams, std::string& ReplaceText);
  void WebFileDispatcher1BeforeDispatch(TObject* Sender, const std::string& AFileName, TWebRequest& Request,
                                        TWebResponse& Response, bool& Handled);
  void DSServerClass1GetClass(TDSServerClass* DSServerClass, TPersistentClass& PersistentClass);

  TWebActionItem* ServerFunctionInvokerAction() const { return FServerFunctionInvokerAction; }

 private:
  TWebActionItem* FServerFunctionInvokerAction = nullptr;
};

// True for the loopback addresses "127.0.0.1", "0:0:0:0:0:0:0:1" and "::1".
bool IsLocalClient(const std::string& aRemoteAddr);

// The class for the framework's handler.
TComponentClass WebModule1Class();

}  // namespace quillon
