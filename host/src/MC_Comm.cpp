#include "MC_Comm.h"

#include "MC_CoffFormat.h"
#include "MC_Dialog.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace {

struct CommState {
    std::unique_ptr<DriveLink> link;
    std::string lastError;
    std::deque<std::vector<std::uint8_t>> frames;
    std::uint64_t dropped = 0;
    CMC_Comm::UnsolicitedMsgHandler handler = nullptr;
    double driveTime_s = 0.0;
    double lastHostTime_s = 0.0;
};

CommState& State() {
    static CommState state;
    return state;
}

const char* OpName(drivesim::Op op) {
    switch (op) {
    case drivesim::Op::Ping: return "ping";
    case drivesim::Op::WriteRegisters: return "write registers";
    case drivesim::Op::WriteRegister: return "write register";
    case drivesim::Op::ReadRegister: return "read register";
    case drivesim::Op::Stop: return "stop";
    case drivesim::Op::Download: return "download";
    case drivesim::Op::Start: return "start";
    case drivesim::Op::ReadProgramVariable: return "read program variable";
    case drivesim::Op::WriteProgramVariable: return "write program variable";
    case drivesim::Op::ReadVariable: return "read variable";
    case drivesim::Op::WriteVariable: return "write variable";
    case drivesim::Op::AxisOn: return "read axis state";
    case drivesim::Op::UploadLog: return "upload log";
    }
    return "transaction";
}

// Follows the host clock by its increments, so that a backend swapped for one whose clock
// starts again at zero (as every test fixture does) never turns the drive's time back.
double StampTime(double cost_s) {
    CommState& s = State();
    UiBackend& ui = GetUiBackend();
    ui.AdvanceClock(cost_s);
    const double now_s = ui.Now_s();
    if (now_s > s.lastHostTime_s) s.driveTime_s += std::min(now_s - s.lastHostTime_s, kMaxDriveTimeStep_s);
    s.lastHostTime_s = now_s;
    return s.driveTime_s;
}

void Queue(std::vector<std::vector<std::uint8_t>>& frames) {
    CommState& s = State();
    for (auto& frame : frames) {
        if (s.frames.size() >= CMC_Comm::kMaxQueuedFrames) {
            s.frames.pop_front();
            ++s.dropped;
        }
        s.frames.push_back(std::move(frame));
    }
}

}  // namespace

void CMC_Comm::Connect(std::unique_ptr<DriveLink> link) {
    CommState& s = State();
    // Another drive (or none) holds none of the programs the host downloaded.
    CMC_ProgramRunner::Forget(CMC_ProgramRunner::CurrentProgram());
    s.link = std::move(link);
    s.frames.clear();
    s.dropped = 0;
    s.lastError.clear();
    s.driveTime_s = 0.0;
    s.lastHostTime_s = GetUiBackend().Now_s();
}

bool CMC_Comm::IsConnected() { return State().link != nullptr; }

std::string CMC_Comm::Describe() { return IsConnected() ? State().link->Describe() : "no drive"; }

drivesim::Response CMC_Comm::Transact(drivesim::Request request, double cost_s) {
    CommState& s = State();
    if (!s.link) {
        drivesim::Response response;
        response.error = "no drive is connected";
        s.lastError = std::string("Drive ") + OpName(request.op) +
                      (request.name.empty() ? std::string() : " " + request.name) + " failed: " + response.error;
        return response;
    }
    request.time_s = StampTime(std::max(0.0, cost_s));
    drivesim::Response response = s.link->Transact(request);
    Queue(response.frames);
    response.frames.clear();
    if (!response.ok()) {
        s.lastError = std::string("Drive ") + OpName(request.op) +
                      (request.name.empty() ? std::string() : " " + request.name) + " failed: " + response.error;
    }
    return response;
}

double CMC_Comm::DriveTime_s() { return State().driveTime_s; }

const char* CMC_Comm::GetLastErrorText() { return State().lastError.c_str(); }

void CMC_Comm::SetLastErrorText(std::string text) { State().lastError = std::move(text); }

CMC_Comm::UnsolicitedMsgHandler CMC_Comm::RegisterReceiveUnsolicitedMsgHandler(UnsolicitedMsgHandler handler) {
    return std::exchange(State().handler, handler);
}

int CMC_Comm::CheckForUnrequestedMessages(UnsolicitedMsgHandler handler) {
    CommState& s = State();
    // The drive only sends with an answer: asking is what lets frames (and time) arrive.
    if (s.link) Transact(drivesim::Request{});
    const UnsolicitedMsgHandler deliver = handler ? handler : s.handler;
    int delivered = 0;
    // The handler may itself poll the drive and queue more: take what is here now.
    std::deque<std::vector<std::uint8_t>> batch;
    batch.swap(s.frames);
    for (const auto& frame : batch) {
        if (!deliver) continue;
        deliver(frame.data(), frame.size());
        ++delivered;
    }
    return delivered;
}

std::size_t CMC_Comm::QueuedFrames() { return State().frames.size(); }

std::uint64_t CMC_Comm::DroppedFrames() { return State().dropped; }
