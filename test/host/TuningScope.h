// A scope as the tuning tests set it up, over the default setup, for tests of the scope's own
// settings.
#pragma once

#include "BaseQuantities.h"
#include "MC_Loggers.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <memory>

// The default setup with the core's scales, and a scope plotting the speed and current pairs.
inline void MakeTuningScope(std::unique_ptr<CMC_Setup>& setup, std::unique_ptr<CMC_ScopeLogger>& scope) {
    SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    setup = std::move(loaded.setup);
    pelmora::AttachCoreScales(*setup);
    scope = std::make_unique<CMC_ScopeLogger>(setup.get(), nullptr);
    for (const char* name : {"Speed_Reference", "Load_Speed", "Current_Reference", "Motor_Current"})
        ASSERT_TRUE(scope->AddVariable(name, 1)) << name;
}
