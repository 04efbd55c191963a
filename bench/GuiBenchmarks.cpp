// Opening speed of the setup dialogs through the Qt backend, offscreen: from the dialog's
// construction over the setup (with the passes it runs) to its window painted for the first time,
// the moment a user sees it. The drive setup is the largest form.
#include "BaseQuantities.h"
#include "DriveSetupDlg.h"
#include "MC_SetupFile.h"
#include "MotorSetupDialog.h"
#include "QtUi.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

std::unique_ptr<CMC_Setup> LoadDefault() {
    SetupLoadResult loaded = LoadDefaultSetup();
    if (!loaded) throw std::runtime_error(loaded.error);
    pelmora::AttachCoreScales(*loaded.setup);
    return std::move(loaded.setup);
}

template <class Dialog>
void OpenUntilPainted(benchmark::State& state) {
    QtUi ui;
    SetUiBackend(&ui);
    const auto setup = LoadDefault();
    const std::string caption(Dialog(setup.get()).GetCaption());
    int others = 0;
    double constructed_ms = 0.0;
    for (auto _ : state) {
        using Clock = std::chrono::steady_clock;
        Clock::time_point painted;
        ui.OnShown([&](CDialog& dialog, QDialog& window) {
            if (dialog.GetCaption() == caption) {
                painted = Clock::now();
            } else {
                ++others;
            }
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(&window, &escape);
        });
        const Clock::time_point start = Clock::now();
        {
            Dialog dialog(setup.get());
            constructed_ms += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            dialog.DoModal();
        }
        state.SetIterationTime(std::chrono::duration<double>(painted - start).count());
    }
    // The share of the dialog's own construction (bindings and the passes it runs), without Qt.
    state.counters["construct_ms"] = benchmark::Counter(constructed_ms, benchmark::Counter::kAvgIterations);
    // Dialogs that opened by themselves (the drive setup's motor setup opens only after it was
    // painted, and not at all once it is cancelled): 0 expected.
    state.counters["others_opened"] = others;
    ui.OnShown(nullptr);
    SetUiBackend(nullptr);
}

void BM_OpenDriveSetup_FirstInProcess(benchmark::State& state) { OpenUntilPainted<pelmora::CDriveSetupDlg>(state); }
void BM_OpenDriveSetup(benchmark::State& state) { OpenUntilPainted<pelmora::CDriveSetupDlg>(state); }
void BM_OpenMotorSetup(benchmark::State& state) { OpenUntilPainted<pelmora::CMotorSetupDialog>(state); }

// The first window of a process also loads fonts and styles: measured once, on its own.
BENCHMARK(BM_OpenDriveSetup_FirstInProcess)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenDriveSetup)->MinTime(2.0)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenMotorSetup)->MinTime(2.0)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QtMessageHandler qtDefault = nullptr;
    qtDefault = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.contains(QLatin1String("propagateSizeHints"))) return;
        if (qtDefault) qtDefault(type, context, message);
    });
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
