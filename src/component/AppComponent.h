#pragma once
// Settings components: every configurable thing (the root of the services, each service,
// each list and list item) is a TAppComponent. The components form a tree owned from its
// root, which is loaded from and saved to the settings file (each component owning one
// section named after its parent's), activated and deactivated as a whole, and shown by
// the main window through the virtual operations below. Main thread only; not locked.
//
// Section naming: the root is loaded as "Proxy"; fixed sub-components get their parent's
// section plus a fixed suffix beginning with "-" ("Proxy-HTTP", "Proxy-HTTP-SocksProxy");
// list items get the list's section plus ".Items." and the zero-based index
// ("Proxy-ProxyUsers.Items.0"); the rules compose ("Proxy-PortMapper.Items.0-SocksProxy").

#include "component/SettingsKeys.h"
#include "component/StatusFrame.h"
#include "component/UserInterface.h"
#include "net/ProxyServerInfo.h"
#include "util/Exceptions.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

class TIniFile;
class TAppContainerComponent;

class EAppComponent : public Exception {
public:
    using Exception::Exception;
};

// The default name of a class name: one leading "T" removed, then one leading "App"
// removed (each only when present, compared with case): "TAppContainerComponent" gives
// "ContainerComponent", "TProxySystem" "ProxySystem", "Widget" stays "Widget".
std::string DefaultNameOfClass(std::string_view className);

class TAppComponent {
public:
    using TStatusFrameClass = std::function<std::unique_ptr<AStatusFrame>()>;
    using TChangeEvent = std::function<void(TAppComponent* sender)>;

    TAppComponent() = default;
    virtual ~TAppComponent();
    TAppComponent(const TAppComponent&) = delete;
    TAppComponent& operator=(const TAppComponent&) = delete;

    // The class's own name ("TProxySystem"); every concrete class overrides it, since
    // GetDefaultName is derived from it.
    virtual std::string ClassName() const { return "TAppComponent"; }

    // The container holding this component; null for the root and for new items not yet
    // added.
    TAppContainerComponent* Parent() const { return FParent; }
    // Whether the component runs (a service: its server is started). Changes only
    // through SetEnabled.
    bool Active() const { return FActive; }
    // Fired by Changed. A container replaces it when the component is added (AddChild).
    TChangeEvent OnChange;

    // The user interface of the tree: the one set here, else the parent's, else the
    // headless one. The application sets it on the root; a container creating a new item
    // outside the tree (CreateChild) hands it its own before showing a dialog.
    virtual void SetUserInterface(AUserInterface* ui) { FUserInterface = ui; }
    AUserInterface& UserInterface() const;

    // ---- virtual operations, in slot order ----

    // The status frame, created by FrameClass on first request and kept; null when the
    // class has no FrameClass. Owned by the component.
    virtual AStatusFrame* GetStatusFrame();
    // Active.
    virtual bool GetEnabled() const;
    // When value differs from Active: DoEnable (true) or DoDisable (false), then Active :=
    // value, then Changed. When the hook raises, Active keeps its old value and the
    // exception passes on. A call made while a hook of this component runs (from the hook
    // itself or from anything it triggers) is ignored, so a start is never nested or doubled.
    virtual void SetEnabled(bool value);
    virtual std::string GetDefaultName() const;
    // GetDefaultName; the tree caption of child nodes.
    virtual std::string GetDisplayName() const;
    virtual bool CanRename() const;
    virtual bool CanDelete() const;
    virtual void Rename(const std::string& newName);
    // Asks the parent to remove (and so destroy) this component; nothing without a parent.
    // The caller must not touch the component afterwards.
    virtual void Delete();
    virtual bool HasSettings() const;
    // Shows the settings dialog; true when it was confirmed with OK. Base: false.
    virtual bool EditSettings();
    // "Settings" (the window appends "...").
    virtual std::string GetSettingsCaption() const;
    virtual bool HasChildren() const;
    virtual std::vector<TAppComponent*> GetChildren() const;
    virtual int GetChildCount() const;
    virtual bool CanCreateChild() const;
    // The new child, added to this container, or null when the user cancelled. Base:
    // raises EAppComponent "Cannot create child".
    virtual TAppComponent* CreateChild();
    virtual void LoadSettings(TIniFile& ini, const std::string& section);
    virtual void SaveSettings(TIniFile& ini, const std::string& section);
    // Start after loading / stop before exit. Base: nothing.
    virtual void Activate();
    virtual void Deactivate();
    // Fires OnChange.
    virtual void Changed();
    // Whether the window offers Enable and Disable. Base: false.
    virtual bool CanEnable() const;
    // Refreshes the status frame from the component's state. Base: nothing.
    virtual void UpdateDisplay();

    // The frame if one was created, without creating it.
    AStatusFrame* StatusFrame() const { return FFrame.get(); }
    // Gives the frame up to the caller (the window releases it later); the component then
    // creates a new one on the next request.
    std::unique_ptr<AStatusFrame> TakeStatusFrame() { return std::move(FFrame); }

protected:
    // Start and stop hooks of SetEnabled. Base: nothing.
    virtual void DoEnable();
    virtual void DoDisable();

    // Makes the status frame; set by the concrete class's constructor.
    TStatusFrameClass FrameClass;

private:
    friend class TAppContainerComponent;
    TAppContainerComponent* FParent = nullptr;
    bool FActive = false;
    bool FChangingEnabled = false;
    std::unique_ptr<AStatusFrame> FFrame;
    AUserInterface* FUserInterface = nullptr;
};

// A component that owns an ordered list of child components and persists them as
// "ItemCount" plus one section per item.
class TAppContainerComponent : public TAppComponent {
public:
    using TChildEvent = std::function<void(TAppContainerComponent* sender, TAppComponent* child)>;

    // Most items one load reads: a corrupt ItemCount cannot make the program create
    // billions of components. Items beyond it are not loaded (their sections stay in the
    // file until the next save writes the smaller count).
    static constexpr int kDefaultMaxItemCount = 65536;

    TAppContainerComponent() = default;
    // Destroys every child, first to last.
    ~TAppContainerComponent() override;

    std::string ClassName() const override { return "TAppContainerComponent"; }

    TChildEvent OnChildAdd;    // after a child was appended
    TChildEvent OnChildRemove; // after a child left Items, before it is destroyed
    TChildEvent OnChildChange; // when a child fired its OnChange

    bool HasChildren() const override;
    std::vector<TAppComponent*> GetChildren() const override;
    int GetChildCount() const override;
    bool CanCreateChild() const override;
    // Reads "ItemCount" (absent, negative: none; capped at GetMaxItemCount), then for each
    // index whose section "<section>.Items.<i>" exists an item from CreateItem loaded from it
    // and added. An index without a section is skipped, as is one whose CreateItem gives
    // null: a count larger than the list makes no empty items, and a section removed by hand
    // does not cost the items after it. Existing children are kept. An ItemCount that is
    // not a number loads none and sets ItemCountError (ReadItemCountError).
    void LoadSettings(TIniFile& ini, const std::string& section) override;
    // Writes "ItemCount" and each child to "<section>.Items.<i>", densely in list order.
    // Sections of items beyond the count are left in the file (the count bounds loading).
    // Nothing while ItemCountError is set: the list in the file was never read, and
    // writing this one would replace its records.
    void SaveSettings(TIniFile& ini, const std::string& section) override;
    // "ItemCount=x in [section] is not a whole number" when the ItemCount last read (by
    // LoadSettings or ReadItemCountError) did not parse; empty otherwise.
    const std::string& ItemCountError() const { return FItemCountError; }
    // Sets ItemCountError from the ItemCount in ini: after the list was made from it
    // another way (ReplaceItems, on a reload).
    void ReadItemCountError(const TIniFile& ini, const std::string& section);
    // That text for the ItemCount in ini; empty when it is a number or missing.
    static std::string ItemCountErrorIn(const TIniFile& ini, const std::string& section);
    // Children first to last.
    void Activate() override;
    // Children last to first.
    void Deactivate() override;

    // An empty item of the list's item class, for loading; base: null.
    virtual std::unique_ptr<TAppComponent> CreateItem();
    virtual void ChildAdded(TAppComponent* child);
    virtual void ChildRemoved(TAppComponent* child);
    virtual void ChildChanged(TAppComponent* child);
    // Takes the child (found by identity) out of Items, fires ChildRemoved, destroys it.
    // Nothing when it is not a child.
    virtual void RemoveChild(TAppComponent* child);
    virtual int GetMaxItemCount() const;

    // The sections LoadSettings reads items from, in list order: "<section>.Items.<i>" for
    // each index below the (capped) ItemCount whose section exists.
    std::vector<std::string> ItemSections(const TIniFile& ini, const std::string& section) const;
    // Makes the list the one sections describe without touching the children that stay:
    // keep[i] is the index of the current child that becomes item i as it is (still running,
    // not reloaded), or -1 for a new item from CreateItem loaded from ini at sections[i]. An
    // index named twice or out of range counts as -1. Children not kept are deactivated and
    // removed (ChildRemoved, destroyed), last to first; new items are added (ChildAdded);
    // then the list takes the order of sections. Returns the new items in list order, not
    // activated.
    std::vector<TAppComponent*> ReplaceItems(TIniFile& ini, const std::vector<std::string>& sections,
                                             std::vector<int> keep);

    // Takes ownership: sets the child's OnChange to report to ChildChanged, its Parent to
    // this container, appends it and fires ChildAdded. Returns the child.
    TAppComponent* AddChild(std::unique_ptr<TAppComponent> child);
    // The child at a zero-based index, or null.
    TAppComponent* Item(int index) const;

protected:
    std::vector<std::unique_ptr<TAppComponent>> Items;

private:
    std::string FItemCountError;
};

// The keys of an up-stream proxy record, in its stored order.
void ProxyServerInfoKeys(ASettingsKeys& keys, TProxyServerInfo& info);
void SaveProxyServerInfo(TProxyServerInfo& info, TIniFile& ini, const std::string& section);

} // namespace corvan
