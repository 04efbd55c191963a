#include "EditGui.h"

#include "MC_SetupFile.h"
#include "QtGraph.h"
#include "QtUi.h"

#include <QApplication>

#include <cstdlib>
#include <memory>
#include <ostream>

namespace {

bool IsSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// The backend and the error sink are the window's while it is open, whatever way the call ends.
class GuiSession {
public:
    explicit GuiSession(QtUi& ui) {
        SetUiBackend(&ui);
        m_previousSink = SetErrorSink([&ui](std::string_view message) {
            ui.ShowMessageBox(nullptr, message, "pelmora", MessageBoxKind::Warning);
        });
    }
    ~GuiSession() {
        SetErrorSink(std::move(m_previousSink));
        SetUiBackend(nullptr);
    }
    GuiSession(const GuiSession&) = delete;
    GuiSession& operator=(const GuiSession&) = delete;

private:
    ErrorSink m_previousSink;
};

}  // namespace

bool HasDisplay() { return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"); }

int RunEditGui(const CommandContext& ctx, const std::vector<std::string>& args, const std::string& outPath) {
    if (args.size() > 1) {
        ctx.err << "pelmora edit: expected at most one SETUP\n";
        return ToInt(ExitCode::Misuse);
    }
    const std::string path = args.empty() ? std::string() : args.front();
    // Asked before the window opens, so that no editing is lost for want of a place to save it.
    const std::string target = outPath.empty() ? path : outPath;
    if (target.empty()) {
        ctx.err << "pelmora edit: the default setup is built in; give -o OUT to save the edited setup\n";
        return ToInt(ExitCode::Misuse);
    }
    if (!HasDisplay()) {
        ctx.err << "pelmora edit: no display to open a window on (DISPLAY and WAYLAND_DISPLAY are not set); "
                   "to edit without one, use --script FILE (docs/edit-script.md)\n";
        return ToInt(ExitCode::Failure);
    }
    const auto setup = OpenSetup(ctx, path);
    if (!setup) return ToInt(ExitCode::Failure);
    if (!EnsureQtApplication()) {
        ctx.err << "pelmora edit: the process already runs a Qt application without widgets\n";
        return ToInt(ExitCode::Failure);
    }

    int result = 0;
    {
        QtUi ui;
        const GuiSession session(ui);
        result = ctx.plugin.EditSetup(setup.get());
    }
    if (result != 1) {
        ctx.err << "pelmora edit: the drive setup was cancelled; nothing was saved\n";
        return ToInt(ExitCode::Success);
    }
    if (const std::string error = SaveSetupFile(*setup, target); !error.empty()) {
        ctx.err << "pelmora edit: " << error << '\n';
        return ToInt(ExitCode::Failure);
    }
    ctx.err << "pelmora edit: saved to " << target << '\n';
    return ToInt(ExitCode::Success);
}
