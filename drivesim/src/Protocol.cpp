#include "drivesim/Protocol.h"

namespace drivesim {

namespace {

Response FromStatus(const Status& status) {
    Response response;
    response.error = status.error;
    return response;
}

Response FromResult(const Result<double>& result) {
    Response response;
    if (result.ok())
        response.value = *result.value;
    else
        response.error = result.error;
    return response;
}

}  // namespace

Response Dispatch(Drive& drive, const Request& request) {
    drive.AdvanceTo(request.time_s);
    Response response;
    // A dropped link answers nothing: every transaction fails, none is performed.
    if (drive.LinkDropped()) {
        response.error = "the link to the drive is down";
        return response;
    }
    switch (request.op) {
    case Op::Ping: break;
    case Op::WriteRegisters: response = FromStatus(drive.WriteRegisters(request.registers)); break;
    case Op::WriteRegister: response = FromStatus(drive.WriteRegister(request.name, request.value)); break;
    case Op::ReadRegister: response = FromResult(drive.ReadRegister(request.name)); break;
    case Op::Stop: drive.Stop(); break;
    case Op::Download:
        response = FromStatus(drive.Download(request.name, request.variables, request.logger, request.scope));
        break;
    case Op::Start: response = FromStatus(drive.Start()); break;
    case Op::ReadProgramVariable: response = FromResult(drive.ReadProgramVariable(request.name)); break;
    case Op::WriteProgramVariable:
        response = FromStatus(drive.WriteProgramVariable(request.name, request.value));
        break;
    case Op::ReadVariable: response = FromResult(drive.ReadVariable(request.name)); break;
    case Op::WriteVariable: response = FromStatus(drive.WriteVariable(request.name, request.value)); break;
    case Op::AxisOn: response.value = drive.AxisOn() ? 1.0 : 0.0; break;
    case Op::UploadLog: {
        auto log = drive.UploadLog();
        if (log.ok())
            response.log = std::move(*log.value);
        else
            response.error = log.error;
        break;
    }
    }
    response.frames = drive.TakeFrames();
    return response;
}

}  // namespace drivesim
