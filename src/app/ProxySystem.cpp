#include "app/ProxySystem.h"

#include "dns-proxy/DNSProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "port-mapping/PortMapperSystem.h"
#include "proxy/PortMappers.h"
#include "socks-proxy/SocksProxySystem.h"
#include "status/StatusSystem.h"
#include "users/ProxyUsersSystem.h"
#include "util/FileSystem.h"
#include "util/IniFile.h"
#include "util/Strings.h"

#include <algorithm>

namespace corvan {

TProxySystem::TProxySystem(const std::string& serviceFolder) : FServiceFolder(serviceFolder) {
    ForceDirectories(FServiceFolder);
    FProxyUsers = std::make_unique<TProxyUsersSystem>();
    FHTTPProxy = std::make_unique<THTTPProxySystem>(FServiceFolder, FProxyUsers.get());
    FDNSProxy = std::make_unique<TDNSProxySystem>();
    FPortMapper = std::make_unique<TPortMapperSystem>();
    // Before the settings load, so that every mapping gets it.
    FPortMapper->MapperFactory = CreatePortMapper;
    FSocksProxy = std::make_unique<TSocksProxySystem>(FServiceFolder, FProxyUsers.get());
    FSocksProxy->ServerFactory = CreateSocksProxyServer;
    FStatus = std::make_unique<TStatusSystem>(*FHTTPProxy, *FSocksProxy, *FDNSProxy, *FPortMapper);
}

void TProxySystem::SetUserInterface(AUserInterface* ui) {
    TAppComponent::SetUserInterface(ui);
    for (TAppComponent* service : Services())
        service->SetUserInterface(ui);
}

TProxySystem::~TProxySystem() {
    FStatus.reset();
    FSocksProxy.reset();
    FPortMapper.reset();
    FDNSProxy.reset();
    FHTTPProxy.reset();
    FProxyUsers.reset();
}

std::vector<TAppComponent*> TProxySystem::Services() const {
    return {FHTTPProxy.get(),  FDNSProxy.get(),   FPortMapper.get(),
            FSocksProxy.get(), FProxyUsers.get(), FStatus.get()};
}

namespace {
// Section suffixes of the services, in the order of Services().
const char* const ServiceSuffixes[] = {"-HTTP",       "-DNS",        "-PortMapper",
                                       "-SocksProxy", "-ProxyUsers", "-Status"};
} // namespace

void TProxySystem::LoadSettings(TIniFile& ini, const std::string& section) {
    std::vector<TAppComponent*> services = Services();
    for (size_t i = 0; i < services.size(); ++i)
        services[i]->LoadSettings(ini, section + ServiceSuffixes[i]);
    if (const std::string& error = FPortMapper->ItemCountError(); !error.empty())
        UserInterface().ShowError("port mappings not started: " + error);
}

void TProxySystem::SaveSettings(TIniFile& ini, const std::string& section) {
    std::vector<TAppComponent*> services = Services();
    for (size_t i = 0; i < services.size(); ++i)
        services[i]->SaveSettings(ini, section + ServiceSuffixes[i]);
}

namespace {
// A component's sections in ini: its own and those of its fixed parts ("-...") and items
// ("."), the first of each name, in file order.
std::vector<std::string> OwnSections(const TIniFile& ini, const std::string& name) {
    std::string lower = AsciiLowerCase(name);
    std::vector<std::string> own;
    for (const std::string& section : ini.ReadSections()) {
        std::string s = AsciiLowerCase(section);
        if (s == lower || StartsWithNoCase(s, lower + "-") || StartsWithNoCase(s, lower + "."))
            own.push_back(section);
    }
    return own;
}

// A component's sections in one text, for telling whether they changed, names taken
// relative to name so that an item moved to another index compares equal. Section and key
// names in lower case, as the file compares them.
std::string SectionsText(const TIniFile& ini, const std::string& name) {
    std::string text;
    for (const std::string& section : OwnSections(ini, name)) {
        text += "[" + AsciiLowerCase(section.substr(name.size())) + "]\n";
        for (const std::string& key : ini.ReadSection(section))
            text += AsciiLowerCase(key) + "=" + ini.ReadString(section, key, "") + "\n";
    }
    return text;
}

// Puts a component's sections as previous had them back into ini, for a component left
// running as it was: the next reload then compares with what runs.
void KeepSections(const TIniFile& previous, TIniFile& ini, const std::string& name) {
    for (const std::string& section : OwnSections(ini, name))
        ini.EraseSection(section);
    for (const std::string& section : OwnSections(previous, name))
        for (const std::string& key : previous.ReadSection(section))
            ini.WriteString(section, key, previous.ReadString(section, key, ""));
}

std::string RunningText(const TAppComponent& c) {
    return c.Active() ? "running" : "not running";
}

// Why the list in ini cannot be applied as it reads: its count is missing or not a number,
// or an item section the previous file had (or its own sections, or a key in them) is
// missing. A file caught half-written would otherwise drop the items after the cut, or
// load the item at the cut with defaults for the keys it lacks (a disabled user enabled).
// Empty when it reads whole.
std::string ListNotWhole(const TAppContainerComponent& list, const TIniFile& previous,
                         const TIniFile& ini, const std::string& section) {
    if (previous.ValueExists(section, "ItemCount")) {
        if (!ini.ValueExists(section, "ItemCount"))
            return "[" + section + "] has no ItemCount";
        if (std::string why = TAppContainerComponent::ItemCountErrorIn(ini, section); !why.empty())
            return why;
    }
    int count = std::min(ini.ReadInteger(section, "ItemCount", 0), list.GetMaxItemCount());
    for (int i = 0; i < count; ++i)
        for (const std::string& own :
             OwnSections(previous, section + ".Items." + std::to_string(i))) {
            if (!ini.SectionExists(own))
                return "[" + own + "] is missing";
            for (const std::string& key : previous.ReadSection(own))
                if (!ini.ValueExists(own, key))
                    return "[" + own + "] has no " + key;
        }
    return {};
}

// Compares a list's items item by item and replaces only those that differ. The current
// children were loaded from previous's item sections, one each, in order.
std::vector<TAppComponent*> ReloadList(TAppContainerComponent& list, const TIniFile& previous,
                                       TIniFile& ini, const std::string& section,
                                       std::vector<std::string>& removed) {
    std::vector<std::string> before = list.ItemSections(previous, section);
    std::vector<std::string> after = list.ItemSections(ini, section);
    std::vector<TAppComponent*> children = list.GetChildren();
    std::vector<std::string> beforeTexts;
    if (before.size() == children.size())
        for (const std::string& s : before)
            beforeTexts.push_back(SectionsText(previous, s));
    // Without a match between children and sections every item is new: restarting is
    // always safe, keeping a mapping whose settings are unknown is not.
    std::vector<bool> taken(beforeTexts.size(), false);
    std::vector<int> keep;
    for (const std::string& s : after) {
        std::string text = SectionsText(ini, s);
        int k = -1;
        for (size_t i = 0; i < beforeTexts.size() && k < 0; ++i)
            if (!taken[i] && beforeTexts[i] == text) {
                taken[i] = true;
                k = int(i);
            }
        keep.push_back(k);
    }
    for (size_t i = 0; i < children.size(); ++i)
        if (i >= taken.size() || !taken[i]) {
            auto* service = dynamic_cast<TServiceComponent*>(children[i]);
            removed.push_back((service ? service->ServiceTitle() : children[i]->GetDisplayName()) +
                              ": removed");
        }
    std::vector<TAppComponent*> added = list.ReplaceItems(ini, after, keep);
    list.ReadItemCountError(ini, section);
    return added;
}
} // namespace

std::vector<std::string> TProxySystem::ReloadSettings(
    const TIniFile& previous, TIniFile& ini, const std::string& section,
    const std::function<void(TServiceComponent&)>& beforeStart) {
    std::vector<std::string> changes;
    auto kept = [&](const std::string& what, const std::string& name, const std::string& why) {
        KeepSections(previous, ini, name);
        changes.push_back(what + ": " + why + " in the settings file; the running settings are kept");
    };
    auto reloadService = [&](TServiceComponent& service, const std::string& name) {
        // A section gone from a file that had it is a file caught half-written, far more
        // often than a wish for every default.
        if (previous.SectionExists(name) && !ini.SectionExists(name))
            kept(service.ServiceTitle(), name, "[" + name + "] is missing");
        else if (SectionsText(previous, name) != SectionsText(ini, name))
            changes.push_back(ReloadService(service, ini, name, beforeStart));
    };
    // In start order, as Activate.
    reloadService(*FHTTPProxy, section + "-HTTP");
    reloadService(*FDNSProxy, section + "-DNS");
    std::string mappings = section + "-PortMapper";
    if (std::string why = ListNotWhole(*FPortMapper, previous, ini, mappings); !why.empty()) {
        kept("port mappings", mappings, why);
    } else {
        std::vector<std::string> removed;
        std::vector<TAppComponent*> added = ReloadList(*FPortMapper, previous, ini, mappings, removed);
        changes.insert(changes.end(), removed.begin(), removed.end());
        for (TAppComponent* item : added) {
            auto& mapping = static_cast<TServiceComponent&>(*item);
            if (beforeStart)
                beforeStart(mapping);
            mapping.Activate();
            changes.push_back(mapping.ServiceTitle() + ": new settings, " + RunningText(mapping));
        }
    }
    reloadService(*FSocksProxy, section + "-SocksProxy");
    std::string users = section + "-ProxyUsers";
    if (std::string why = ListNotWhole(*FProxyUsers, previous, ini, users); !why.empty()) {
        kept("proxy users", users, why);
    } else {
        // Users are data: the services ask the list at every login, nothing restarts.
        std::vector<std::string> removed;
        std::vector<TAppComponent*> added = ReloadList(*FProxyUsers, previous, ini, users, removed);
        if (!removed.empty() || !added.empty())
            changes.push_back("proxy users: " + std::to_string(added.size()) + " new or changed, " +
                              std::to_string(removed.size()) + " removed or changed");
    }
    reloadService(*FStatus, section + "-Status");
    return changes;
}

std::string TProxySystem::ReloadService(TServiceComponent& service, TIniFile& ini,
                                        const std::string& section,
                                        const std::function<void(TServiceComponent&)>& beforeStart) {
    service.Deactivate();
    service.ReloadSettings(ini, section);
    if (beforeStart)
        beforeStart(service);
    service.Activate();
    return service.ServiceTitle() + ": new settings, " + RunningText(service);
}

void TProxySystem::Activate() {
    for (TAppComponent* service : Services())
        service->Activate();
}

void TProxySystem::Deactivate() {
    for (TAppComponent* service : Services())
        service->Deactivate();
}

} // namespace corvan
