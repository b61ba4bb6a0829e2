// The page producer: a template (a file or text) whose tags "<#name param=value ...>" are
// replaced by what OnHTMLTag answers. Nothing else of the text is touched.
#pragma once

#include <functional>
#include <string>

#include "platform/webbroker/Web_HTTPApp.h"

namespace quillon {

enum class TTag { tgCustom, tgLink, tgImage, tgTable, tgImageMap, tgObject, tgEmbed };

using THTMLTagEvent = std::function<void(TObject* Sender, TTag Tag, const std::string& TagString,
                                         const TStrings& TagParams, std::string& ReplaceText)>;

class TPageProducer : public TComponent, public IProduceContent {
 public:
  // Relative names start at WebApplicationDirectory. HTMLDoc is used when HTMLFile is empty.
  std::string HTMLFile;
  std::string HTMLDoc;
  THTMLTagEvent OnHTMLTag;
  // The dispatcher whose current request the tag handler may read (not owned).
  TCustomWebDispatcher* Dispatcher = nullptr;

  // The template with its tags replaced. A template that cannot be read raises.
  std::string Content() override;
  std::string ContentFromString(const std::string& aTemplate);
};

}  // namespace quillon
