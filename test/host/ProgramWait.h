// A drive program run as the commissioning tests wait on it, for tests that drive the programs
// through the host services directly.
#pragma once

#include "HeadlessUi.h"
#include "MC_CoffFormat.h"
#include "MC_Loggers.h"
#include "MC_Setup.h"

#include <string>

// The tests' wait on a started program: STARTED, then the axis, every `poll_s`, at most `limit_s`
// of the host's clock. False with `error` saying why when a read failed or it did not end.
inline bool WaitForProgramEnd(HeadlessUi& ui, CMC_CoffFormat& program, double poll_s, double limit_s,
                              std::string& error) {
    const double end_s = ui.Now_s() + limit_s;
    while (ui.Now_s() < end_s) {
        ui.Advance(poll_s);
        double started = 0.0;
        if (!CMC_ProgramRunner::GetUserVariableValue(&program, "STARTED", started, error)) return false;
        if (started == 0.0) continue;
        int on = 0;
        if (!CMC_ProgramRunner::GetAxisOn(on, error)) return false;
        if (!on) return true;
    }
    error = "the program did not end";
    return false;
}

// ExecuteCode, then WaitForProgramEnd.
inline bool RunProgramToItsEnd(CMC_Setup& setup, HeadlessUi& ui, CMC_CoffFormat& program, const char* name,
                               CMC_Logger* logger, double poll_s, double limit_s, std::string& error) {
    if (!CMC_ProgramRunner::ExecuteCode(setup, name, &program, logger, error)) return false;
    if (WaitForProgramEnd(ui, program, poll_s, limit_s, error)) return true;
    if (error == "the program did not end") error = std::string(name) + " did not end";
    return false;
}
