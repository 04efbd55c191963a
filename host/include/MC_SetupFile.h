// Setup files (JSON) and the embedded default setup.
#pragma once

#include "MC_Setup.h"

#include <memory>
#include <string>
#include <string_view>

// A loaded setup, or the reason there is none: the file, the place in it and what is wrong.
struct SetupLoadResult {
    std::unique_ptr<CMC_Setup> setup;
    std::string error;
    explicit operator bool() const { return setup != nullptr; }
};

// `sourceName` names the text in messages (a file path, "the default setup").
SetupLoadResult ParseSetup(std::string_view jsonText, std::string_view sourceName);
SetupLoadResult LoadSetupFile(const std::string& path);
// The setup built into the host.
SetupLoadResult LoadDefaultSetup();
std::string_view DefaultSetupJson();

// Sets one member of the setup's identity from text, named as in setup files ("productId",
// "e2romSize"; case ignored), under the rules a setup file's identity follows. Empty on success;
// otherwise what is wrong, and the identity is unchanged. The I/O pins are not set this way.
std::string SetIdentityMember(CMC_Setup& setup, std::string_view name, std::string_view text);

// The setup as a JSON document; numbers round-trip exactly.
std::string SetupToJson(const CMC_Setup& setup);
// Writes atomically: a temporary file beside `path`, flushed to disk, then renamed over it.
// An empty result means success; otherwise the message says what failed, and `path` is untouched.
std::string SaveSetupFile(const CMC_Setup& setup, const std::string& path);
// The same atomic write for any text.
std::string WriteFileAtomically(const std::string& path, std::string_view contents);
