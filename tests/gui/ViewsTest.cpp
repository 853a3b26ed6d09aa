#include "GuiFixture.h"

#include "dns-proxy/DNSProxySystem.h"
#include "gui/LoopBridge.h"
#include "gui/Pictures.h"
#include "http-proxy/HTTPProxySystem.h"
#include "net/EventLoop.h"
#include "support/NetTestSupport.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <map>

using namespace corvan;
using namespace corvan::test;

namespace {

// Every service running on a port of its own on 127.0.0.1; the TCP mapping passes on to
// destPort.
std::string RunningServices(uint16_t destPort) {
    auto port = [] { return std::to_string(FreeLoopbackPort()); };
    return "[Proxy-HTTP]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + port() +
           "\n[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + port() +
           "\n[Proxy-DNS]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" + port() +
           "\n[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\nEnabled=1\n"
           "ServerProtocol=3\nServerIP=127.0.0.1\nServerPort=" + port() +
           "\nDestHost=127.0.0.1\nDestPort=" + std::to_string(destPort) + "\n";
}

// The view shows the picture its model chose, and the model chose want.
void ExpectPicture(TfrmMain& w, TStatusPicture want, const char* what) {
    w.RunCommand([] {}); // a refresh, as the timer's
    TStatusView* view = w.ShownView();
    ASSERT_NE(view, nullptr) << what;
    EXPECT_EQ(view->Frame()->Picture, want) << what;
    EXPECT_EQ(view->PictureImage(), StatusPicture(want).toImage()) << what;
}

} // namespace

TEST(StatusViews, EachServiceShowsStoppedIdleAndTrafficPictures) {
    // Three pictures that a person can tell apart.
    QImage gray = StatusPicture(TStatusPicture::iPCGray).toImage();
    QImage blue = StatusPicture(TStatusPicture::iPCBlue).toImage();
    QImage cyan = StatusPicture(TStatusPicture::iPCCyan).toImage();
    EXPECT_NE(gray, blue);
    EXPECT_NE(blue, cyan);
    EXPECT_NE(gray, cyan);

    TTestListener destination;
    TWindowFixture f;
    f.WriteSettings(RunningServices(destination.Port));
    TfrmMain& w = f.Open();
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    auto* mapping = static_cast<TPortMapSystem*>(f.Root().PortMapper().Item(0));
    const std::pair<TServiceComponent*, const char*> services[] = {
        {&f.Root().HTTPProxy(), "http"},
        {&f.Root().SocksProxy(), "socks"},
        {&f.Root().DNSProxy(), "dns"},
        {mapping, "mapping"}};
    for (const auto& [service, name] : services) {
        ASSERT_TRUE(service->Active()) << name << (f.Errors.empty() ? "" : f.Errors[0]);
        f.Select(service);
        ExpectPicture(w, TStatusPicture::iPCBlue, name);
    }

    // A client on the mapping is traffic; it ends with the client.
    f.Select(mapping);
    TSocketHandle client = ConnectBlocking(uint16_t(mapping->ServerPort));
    ASSERT_NE(client, INVALID_SOCKETHANDLE);
    ASSERT_TRUE(QTest::qWaitFor([&] { return mapping->Connections() >= 1; }, 10000));
    ExpectPicture(w, TStatusPicture::iPCCyan, "mapping with a client");
    // Both ends close: the tunnel passes a half close on and ends when both sides are done.
    TSocketHandle passedOn = destination.Accept();
    SocketClose(client);
    SocketClose(passedOn);
    ASSERT_TRUE(QTest::qWaitFor([&] { return mapping->Connections() == 0; }, 10000));
    ExpectPicture(w, TStatusPicture::iPCBlue, "mapping after the client");

    // Disabled from their own views' buttons: stopped.
    for (const auto& [service, name] : services) {
        f.Select(service);
        QTest::mouseClick(w.ShownView()->ButtonWidget("Disable"), Qt::LeftButton);
        ASSERT_FALSE(service->Active()) << name;
        ExpectPicture(w, TStatusPicture::iPCGray, name);
        EXPECT_EQ(w.ShownView()->LineText(0).endsWith("not active."), true) << name;
    }
}

namespace {

// Counts, over one stretch of Qt's loop, the times the process woke and the timer events by
// receiver.
struct TWakeCounter : QObject {
    int Wakes = 0;
    std::map<QObject*, int> TimerEvents;
    QMetaObject::Connection Awake;

    TWakeCounter() {
        qApp->installEventFilter(this);
        Awake = connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                        [this] { ++Wakes; });
    }
    ~TWakeCounter() override {
        disconnect(Awake);
        qApp->removeEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Timer)
            ++TimerEvents[watched];
        return false;
    }
};

// Runs Qt's loop for ms, ended by a timer of its own (not counted), and reports what woke it.
void IdleFor(int ms, TWakeCounter& counter, QTimer& end) {
    QEventLoop loop;
    end.setSingleShot(true);
    end.setInterval(ms);
    QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
    counter.Wakes = 0;
    counter.TimerEvents.clear();
    end.start();
    loop.exec();
}

} // namespace

TEST(MainWindow, AnIdleWindowWakesOnlyForTheHalfSecondRefresh) {
    TWindowFixture f;
    f.WriteSettings("[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
                    std::to_string(FreeLoopbackPort()) + "\n");
    TfrmMain& w = f.Open(true);
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    ASSERT_TRUE(f.Root().SocksProxy().Active());
    f.Select(&f.Root().SocksProxy());
    QTest::qWait(200); // the first paint and the first-show step settle
    QTimer end;
    TWakeCounter counter;
    constexpr int kStretchMs = 2000;

    // Shown: the refresh ticks up to five times; nothing else wakes the process.
    uint64_t activations = bridge.ActivationCount();
    IdleFor(kStretchMs, counter, end);
    int ticks = counter.TimerEvents[&w.RefreshTimer()];
    // A loaded machine may drop a tick (a late timer does not catch up), never add one.
    EXPECT_GE(ticks, 2);
    EXPECT_LE(ticks, kStretchMs / TfrmMain::kRefreshIntervalMs + 1);
    for (const auto& [receiver, count] : counter.TimerEvents)
        EXPECT_TRUE(receiver == &w.RefreshTimer() || receiver == &end)
            << receiver->metaObject()->className() << " " << count;
    // One wake per tick, the end timer's, and a little slack for the paint a tick causes.
    EXPECT_LE(counter.Wakes, 2 * ticks + 2);
    EXPECT_EQ(bridge.ActivationCount(), activations); // the service's loop stayed asleep

    // Hidden: nothing at all but the end of the stretch.
    w.hide();
    QTest::qWait(100);
    IdleFor(kStretchMs, counter, end);
    EXPECT_EQ(counter.TimerEvents.count(&w.RefreshTimer()), 0u);
    for (const auto& [receiver, count] : counter.TimerEvents)
        EXPECT_EQ(receiver, &end) << receiver->metaObject()->className() << " " << count;
    EXPECT_LE(counter.Wakes, 2);
    EXPECT_EQ(bridge.ActivationCount(), activations);
}
