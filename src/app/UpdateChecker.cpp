#include "app/UpdateChecker.h"

#include "http/HTTPClient.h"
#include "util/Strings.h"

#include <utility>

namespace corvan {

namespace {

std::string_view TrimLow(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

} // namespace

TVersionFileInfo ParseVersionFile(std::string_view text, std::string_view currentVersion) {
    TVersionFileInfo info;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (size_t comment = line.find(';'); comment != std::string_view::npos)
            line = line.substr(0, comment);
        line = TrimLow(line);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string key = AsciiLowerCase(TrimLow(line.substr(0, eq)));
        std::string value(TrimLow(line.substr(eq + 1)));
        if (key == "version") {
            if (!value.empty() && !currentVersion.empty() && value != currentVersion) {
                info.NewVersionAvailable = true;
                info.NewVersion = value;
            }
        } else if (key == "info-url")
            info.InfoURL = value;
        else if (key == "setup-url")
            info.SetupURL = value;
    }
    return info;
}

TUpdateChecker::TUpdateChecker() = default;

TUpdateChecker::~TUpdateChecker() {
    // Stopping the thread first keeps its completion from reaching a checker that is gone.
    if (FClient) {
        FClient->OnThreadRunComplete = nullptr;
        FClient->Terminate();
        FClient.reset();
    }
}

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
    FLastError.clear();
    FClient.reset();

    auto client = std::make_unique<ThttpClient>();
    client->RunInThread = true;
    client->ContentMode = hcmText;
    client->UserAgent = "Mozilla/4.0 (compatible" +
                        (ProductKey.empty() ? std::string() : "; " + ProductKey) + ")";
    client->SetHost(Host);
    client->SetPort(Port.empty() ? "80" : Port);
    client->SetRequest(std::make_unique<ThttpRequest>("GET", URI, "HTTP", 1, 1));
    // Runs on the main thread after the exchange's thread has finished, whatever the outcome:
    // the result is read there, never on the client's thread.
    client->OnThreadRunComplete = [this](ATCPClient*) { CheckDone(); };
    FClient = std::move(client);
    FBusy = true;
    ++FStartCount;
    try {
        FClient->SetActive(true);
    } catch (...) {
        FBusy = false;
        throw;
    }
}

void TUpdateChecker::CheckDone() {
    FBusy = false;
    ThttpResponse* response = FClient ? FClient->Response() : nullptr;
    if (response && response->GetStatusCode() / 100 == 2) {
        FSuccess = true;
        TVersionFileInfo info = ParseVersionFile(response->GetContentString(), CurrentVersion);
        FNewVersionAvailable = info.NewVersionAvailable;
        FNewVersion = info.NewVersion;
        FInfoURL = info.InfoURL;
        FSetupURL = info.SetupURL;
    } else if (response)
        FLastError = "HTTP " + std::to_string(response->GetStatusCode());
    else if (FClient)
        FLastError = FClient->ErrorMessage();
    if (OnComplete)
        OnComplete(this);
}

} // namespace corvan
