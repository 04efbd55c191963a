// The host's one connection to a drive: every transaction goes through here, stamped with the
// host clock, and the unsolicited frames the drive sends wait in a queue until asked for.
#pragma once

#include "MC_DriveLink.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What a transaction costs on the virtual (headless) clock. With no time passing per
// transaction, a loop that waits for the drive by reading it would never see it change.
inline constexpr double kTransactionCost_s = 0.001;
inline constexpr double kExecuteCodeCost_s = 0.050;
inline constexpr double kUploadCostPerValue_s = 10e-6;
// The most drive time one transaction may advance: after a long idle spell (a window left open
// for hours on the steady clock) the simulator must not spend minutes catching up on a drive
// that stood still. Programs are polled far more often than this.
inline constexpr double kMaxDriveTimeStep_s = 60.0;

class CMC_Comm {
public:
    // Receives one unsolicited message: the whole frame (length, axis, code, payload).
    using UnsolicitedMsgHandler = void (*)(const std::uint8_t* frame, std::size_t bytes);

    // Queued frames beyond this are dropped oldest first (and counted): nobody reading them must
    // not exhaust memory.
    static constexpr std::size_t kMaxQueuedFrames = 4096;

    // Replaces the process's link (null disconnects); queued frames, the last error and what
    // the host knew of the drive's current program go.
    static void Connect(std::unique_ptr<DriveLink> link);
    static bool IsConnected();
    // "no drive" when none is connected.
    static std::string Describe();

    // One transaction. `cost_s` moves the virtual clock on before the request goes out, so the
    // drive answers as of the end of the exchange. A failed one leaves its reason in
    // GetLastErrorText.
    static drivesim::Response Transact(drivesim::Request request, double cost_s = kTransactionCost_s);

    // The drive's clock as the host last stamped it, seconds since the link was connected: the
    // host clock's increments, each at most kMaxDriveTimeStep_s.
    static double DriveTime_s();

    static const char* GetLastErrorText();
    static void SetLastErrorText(std::string text);

    // Installs the process-wide handler and returns the one it replaces.
    static UnsolicitedMsgHandler RegisterReceiveUnsolicitedMsgHandler(UnsolicitedMsgHandler handler);
    // Polls the drive once, then hands every queued frame, oldest first, to `handler` (the
    // registered one when null). Returns how many were delivered; frames with no handler to
    // take them are discarded.
    static int CheckForUnrequestedMessages(UnsolicitedMsgHandler handler = nullptr);
    static std::size_t QueuedFrames();
    static std::uint64_t DroppedFrames();
};
