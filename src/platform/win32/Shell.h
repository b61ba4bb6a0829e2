// Opening an address in the user's default browser (the shell's "open" on a URL), via
// xdg-open. Fire and forget: the browser outlives the call and is never waited for.
#pragma once

#include <string>
#include <vector>

namespace quillon::platform {

// True when xdg-open was started with `url` as its only argument (no shell is involved,
// so the text is never interpreted); false when it could not be started.
bool OpenURLInBrowser(const std::string& url);

namespace detail {
// Starts argv[0] (searched in PATH when it has no '/') with argv, detached from this
// process: no zombie is left behind and the call returns once the program is exec'd.
bool SpawnDetached(const std::vector<std::string>& argv);
}  // namespace detail

}  // namespace quillon::platform
