#include "app/ProxyAppBase.h"
#include "gui/TreeRules.h"
#include "support/TempDir.h"
#include "users/ProxyUsersSystem.h"

#include <gtest/gtest.h>

using namespace corvan;

TEST(TreeRules, SettingsCaptionMarksItsFirstLetter) {
    TProxyUser user;
    EXPECT_EQ(SettingsMenuCaption(user), "&Edit...");
    TProxyUsersSystem list;
    EXPECT_EQ(SettingsMenuCaption(list), "&Settings...");
}

TEST(TreeRules, NothingSelectedOffersNothing) {
    TTreeMenu menu = TreeMenuFor(nullptr);
    for (const TMenuCommand* c :
         {&menu.Enable, &menu.Disable, &menu.Settings, &menu.New, &menu.Delete, &menu.Rename})
        EXPECT_FALSE(c->Shown || c->Enabled) << c->Caption;
}

TEST(TreeRules, DoubleClickEditsOnlyALeafWithSettings) {
    TProxyUsersSystem list;
    EXPECT_FALSE(DoubleClickEdits(list)); // no settings
    TProxyUser user;
    EXPECT_TRUE(DoubleClickEdits(user));
}

TEST(TreeRules, SavedPlacementBoundsAreInclusive) {
    const int vw = 1920, vh = 1080;
    EXPECT_TRUE(SavedPlacementUsable(-8, -8, 129, 129, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(-9, 0, 400, 300, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(0, -9, 400, 300, vw, vh));
    EXPECT_TRUE(SavedPlacementUsable(vw - 64, vh - 64, vw + 64, vh + 64, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(vw - 63, 0, 400, 300, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(0, vh - 63, 400, 300, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(0, 0, 128, 300, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(0, 0, 400, 128, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(0, 0, vw + 65, 300, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(0, 0, 400, vh + 65, vw, vh));
    EXPECT_FALSE(SavedPlacementUsable(-99999, -99999, -99999, -99999, vw, vh));
}

TEST(TreeRules, UpdateChoiceFollowsEnabledAndTheEightDayLine) {
    test::TTempDir dir;
    TAppEnvironment env;
    env.DataFolder = dir.Path();
    TProductInfo product = ProxyProductInfo();
    TAppBase app(product, env);
    app.UpdateCheckEnabled = false;
    app.UpdateCheckInterval = 3;
    EXPECT_EQ(UpdateChoiceOf(app), TUpdateChoice::Never);
    app.UpdateCheckEnabled = true;
    app.UpdateCheckInterval = 7;
    EXPECT_EQ(UpdateChoiceOf(app), TUpdateChoice::Weekly);
    app.UpdateCheckInterval = 8;
    EXPECT_EQ(UpdateChoiceOf(app), TUpdateChoice::Monthly);
    ApplyUpdateChoice(app, TUpdateChoice::Weekly);
    EXPECT_EQ(app.UpdateCheckInterval, 7);
    ApplyUpdateChoice(app, TUpdateChoice::Monthly);
    EXPECT_EQ(app.UpdateCheckInterval, 28);
    ApplyUpdateChoice(app, TUpdateChoice::Never);
    EXPECT_FALSE(app.UpdateCheckEnabled);
    EXPECT_EQ(app.UpdateCheckInterval, 28);
}
