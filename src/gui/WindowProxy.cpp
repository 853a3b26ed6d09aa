// Program entry of corvan-proxy with its window: the window when a display is there, else
// the headless program (app/ProgramMain).
#include "app/Headless.h"
#include "app/ProgramMain.h"
#include "gui/LoopBridge.h"
#include "gui/MainWindow.h"
#include "net/EventLoop.h"

#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>

namespace {

int RunWindow(int argc, char** argv, const corvan::TCommandLine& options,
              const corvan::TAppEnvironment& environment) {
    using namespace corvan;
    QApplication qt(argc, argv);
    TMessageLoop& loop = TMessageLoop::Main();
    auto window = std::make_unique<TfrmMain>(environment);
    if (!window->LoadRefusal().empty()) {
        QMessageBox::critical(nullptr, "Error", QString::fromStdString(window->LoadRefusal()));
        return 1;
    }
    ApplyEnableList(window->App().Root(), options.Enable);
    // SIGINT and SIGTERM close the window as its Exit command does: save, then stop. SIGHUP
    // reads the settings file again, as in a headless run.
    loop.WatchTerminationSignals([&window, &options](int signal) {
        if (signal == SIGHUP) {
            std::fprintf(stderr, "corvan-proxy: SIGHUP received, reading the settings file again\n");
            window->RequestReload(options.Enable);
        } else {
            window->close();
        }
    });
    TQtLoopBridge bridge(loop, [&window] { window->close(); });
    window->show();
    int code = qt.exec();
    window->ShutDown();
    window.reset();
    return code;
}

} // namespace

int main(int argc, char** argv) {
    return corvan::ProgramMain(argc, argv, RunWindow);
}
