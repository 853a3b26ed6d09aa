#include "app/UpdateChecker.h"

namespace corvan {

void TUpdateChecker::Start() {
    if (FBusy)
        return;
    if (Host.empty())
        throw EUpdateChecker("Host not set");
    if (URI.empty())
        throw EUpdateChecker("URI not set");
    FSuccess = false;
    FNewVersionAvailable = false;
    FNewVersion.clear();
    FInfoURL.clear();
    FSetupURL.clear();
    FBusy = true;
    ++FStartCount;
}

} // namespace corvan
