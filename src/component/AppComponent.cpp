#include "component/AppComponent.h"

#include "util/IniFile.h"

#include <algorithm>

namespace corvan {

std::string DefaultNameOfClass(std::string_view className) {
    if (!className.empty() && className[0] == 'T')
        className.remove_prefix(1);
    if (className.substr(0, 3) == "App")
        className.remove_prefix(3);
    return std::string(className);
}

// ---- TAppComponent ----

TAppComponent::~TAppComponent() = default;

AUserInterface& TAppComponent::UserInterface() const {
    for (const TAppComponent* c = this; c; c = c->FParent)
        if (c->FUserInterface)
            return *c->FUserInterface;
    return HeadlessUserInterface();
}

AStatusFrame* TAppComponent::GetStatusFrame() {
    if (!FFrame && FrameClass)
        FFrame = FrameClass();
    return FFrame.get();
}

bool TAppComponent::GetEnabled() const {
    return FActive;
}

void TAppComponent::SetEnabled(bool value) {
    if (FChangingEnabled || value == FActive)
        return;
    FChangingEnabled = true;
    try {
        if (value)
            DoEnable();
        else
            DoDisable();
    } catch (...) {
        FChangingEnabled = false;
        throw;
    }
    FActive = value;
    FChangingEnabled = false;
    Changed();
}

void TAppComponent::DoEnable() {}
void TAppComponent::DoDisable() {}

std::string TAppComponent::GetDefaultName() const {
    return DefaultNameOfClass(ClassName());
}

std::string TAppComponent::GetDisplayName() const {
    return GetDefaultName();
}

bool TAppComponent::CanRename() const {
    return false;
}

bool TAppComponent::CanDelete() const {
    return false;
}

void TAppComponent::Rename(const std::string&) {}

void TAppComponent::Delete() {
    if (FParent)
        FParent->RemoveChild(this);
}

bool TAppComponent::HasSettings() const {
    return false;
}

bool TAppComponent::EditSettings() {
    return false;
}

std::string TAppComponent::GetSettingsCaption() const {
    return "Settings";
}

bool TAppComponent::HasChildren() const {
    return !GetChildren().empty();
}

std::vector<TAppComponent*> TAppComponent::GetChildren() const {
    return {};
}

int TAppComponent::GetChildCount() const {
    return 0;
}

bool TAppComponent::CanCreateChild() const {
    return false;
}

TAppComponent* TAppComponent::CreateChild() {
    throw EAppComponent("Cannot create child");
}

void TAppComponent::LoadSettings(TIniFile&, const std::string&) {}
void TAppComponent::SaveSettings(TIniFile&, const std::string&) {}
void TAppComponent::Activate() {}
void TAppComponent::Deactivate() {}

void TAppComponent::Changed() {
    if (OnChange)
        OnChange(this);
}

bool TAppComponent::CanEnable() const {
    return false;
}

void TAppComponent::UpdateDisplay() {}

// ---- TAppContainerComponent ----

TAppContainerComponent::~TAppContainerComponent() {
    for (auto& child : Items)
        child.reset();
    Items.clear();
}

bool TAppContainerComponent::HasChildren() const {
    return GetChildCount() > 0;
}

std::vector<TAppComponent*> TAppContainerComponent::GetChildren() const {
    std::vector<TAppComponent*> r;
    r.reserve(Items.size());
    for (const auto& child : Items)
        r.push_back(child.get());
    return r;
}

int TAppContainerComponent::GetChildCount() const {
    return int(Items.size());
}

bool TAppContainerComponent::CanCreateChild() const {
    return true;
}

std::vector<std::string> TAppContainerComponent::ItemSections(const TIniFile& ini,
                                                              const std::string& section) const {
    std::vector<std::string> sections;
    int count = std::min(ini.ReadInteger(section, "ItemCount", 0), GetMaxItemCount());
    for (int i = 0; i < count; ++i) {
        std::string itemSection = section + ".Items." + std::to_string(i);
        if (ini.SectionExists(itemSection))
            sections.push_back(std::move(itemSection));
    }
    return sections;
}

std::string TAppContainerComponent::ItemCountErrorIn(const TIniFile& ini,
                                                     const std::string& section) {
    if (!ini.ValueExists(section, "ItemCount"))
        return {};
    std::string stored = ini.ReadString(section, "ItemCount", "");
    if (TIniFile::ParseInteger(stored))
        return {};
    return "ItemCount=" + stored + " in [" + section + "] is not a whole number";
}

void TAppContainerComponent::ReadItemCountError(const TIniFile& ini, const std::string& section) {
    FItemCountError = ItemCountErrorIn(ini, section);
}

void TAppContainerComponent::LoadSettings(TIniFile& ini, const std::string& section) {
    TAppComponent::LoadSettings(ini, section);
    ReadItemCountError(ini, section);
    for (const std::string& itemSection : ItemSections(ini, section)) {
        std::unique_ptr<TAppComponent> item = CreateItem();
        if (!item)
            continue;
        item->LoadSettings(ini, itemSection);
        AddChild(std::move(item));
    }
}

void TAppContainerComponent::SaveSettings(TIniFile& ini, const std::string& section) {
    TAppComponent::SaveSettings(ini, section);
    if (!FItemCountError.empty())
        return;
    ini.WriteInteger(section, "ItemCount", int(Items.size()));
    for (size_t i = 0; i < Items.size(); ++i)
        Items[i]->SaveSettings(ini, section + ".Items." + std::to_string(i));
}

void TAppContainerComponent::Activate() {
    for (TAppComponent* child : GetChildren())
        child->Activate();
}

void TAppContainerComponent::Deactivate() {
    std::vector<TAppComponent*> children = GetChildren();
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        (*it)->Deactivate();
}

std::unique_ptr<TAppComponent> TAppContainerComponent::CreateItem() {
    return nullptr;
}

void TAppContainerComponent::ChildAdded(TAppComponent* child) {
    if (OnChildAdd)
        OnChildAdd(this, child);
}

void TAppContainerComponent::ChildRemoved(TAppComponent* child) {
    if (OnChildRemove)
        OnChildRemove(this, child);
}

void TAppContainerComponent::ChildChanged(TAppComponent* child) {
    if (OnChildChange)
        OnChildChange(this, child);
}

void TAppContainerComponent::RemoveChild(TAppComponent* child) {
    auto it = std::find_if(Items.begin(), Items.end(),
                           [child](const auto& item) { return item.get() == child; });
    if (it == Items.end())
        return;
    std::unique_ptr<TAppComponent> owned = std::move(*it);
    Items.erase(it);
    ChildRemoved(child);
    owned.reset();
}

int TAppContainerComponent::GetMaxItemCount() const {
    return kDefaultMaxItemCount;
}

TAppComponent* TAppContainerComponent::AddChild(std::unique_ptr<TAppComponent> child) {
    TAppComponent* c = child.get();
    c->OnChange = [this](TAppComponent* sender) { ChildChanged(sender); };
    c->FParent = this;
    Items.push_back(std::move(child));
    ChildAdded(c);
    return c;
}

std::vector<TAppComponent*> TAppContainerComponent::ReplaceItems(
    TIniFile& ini, const std::vector<std::string>& sections, std::vector<int> keep) {
    keep.resize(sections.size(), -1);
    std::vector<TAppComponent*> current = GetChildren();
    std::vector<bool> kept(current.size(), false);
    for (int& k : keep) {
        if (k < 0 || size_t(k) >= current.size() || kept[size_t(k)])
            k = -1; // a plan that names a child twice (or none) gets a new item instead
        else
            kept[size_t(k)] = true;
    }
    // Last to first, as the list deactivates.
    for (size_t k = current.size(); k-- > 0;)
        if (!kept[k]) {
            current[k]->Deactivate();
            RemoveChild(current[k]);
        }
    std::vector<TAppComponent*> order, added;
    for (size_t i = 0; i < sections.size(); ++i) {
        if (keep[i] >= 0) {
            order.push_back(current[size_t(keep[i])]);
            continue;
        }
        std::unique_ptr<TAppComponent> item = CreateItem();
        if (!item)
            continue;
        item->LoadSettings(ini, sections[i]);
        TAppComponent* c = AddChild(std::move(item));
        order.push_back(c);
        added.push_back(c);
    }
    // Every child is in order exactly once: kept ones once each, the rest just added.
    std::vector<std::unique_ptr<TAppComponent>> reordered;
    reordered.reserve(Items.size());
    for (TAppComponent* c : order)
        for (auto& item : Items)
            if (item.get() == c) {
                reordered.push_back(std::move(item));
                break;
            }
    Items = std::move(reordered);
    return added;
}

TAppComponent* TAppContainerComponent::Item(int index) const {
    if (index < 0 || size_t(index) >= Items.size())
        return nullptr;
    return Items[size_t(index)].get();
}

// ---- TProxyServerInfo ----

void ProxyServerInfoKeys(ASettingsKeys& keys, TProxyServerInfo& info) {
    keys.Bool("UseProxy", info.UseProxy, false);
    keys.String("Host", info.Host, "");
    keys.String("Port", info.Port, "");
    keys.Bool("UseAuth", info.UseAuth, false);
    keys.String("Login", info.Login, "");
    keys.String("Password", info.Password, "");
}

void SaveProxyServerInfo(TProxyServerInfo& info, TIniFile& ini, const std::string& section) {
    TSettingsSaver saver(ini, section);
    ProxyServerInfoKeys(saver, info);
}

} // namespace corvan
