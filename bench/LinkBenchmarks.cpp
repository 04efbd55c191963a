// The cost of one drive transaction: dispatched in process, and framed over TCP loopback to
// the drive served on a thread; plus the codec alone on the largest answer (a full data log).
#include "DriveServer.h"
#include "MC_Graph.h"
#include "StreamLink.h"

#include "drivesim/Protocol.h"
#include "drivesim/SimConfig.h"
#include "drivesim/WireCodec.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <thread>

namespace {

drivesim::Request ReadMer() {
    drivesim::Request request;
    request.op = drivesim::Op::ReadVariable;
    request.name = "MER";
    return request;
}

void BM_TransactionInProcess(benchmark::State& state) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    const drivesim::Request request = ReadMer();
    for (auto _ : state) benchmark::DoNotOptimize(drivesim::Dispatch(drive, request));
}
BENCHMARK(BM_TransactionInProcess);

void BM_TransactionOverTcpLoopback(benchmark::State& state) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    std::string error;
    auto server = drivesim::DriveServer::Open("tcp:127.0.0.1:0", drive, error);
    if (!server) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::thread serving([&] { server->Run(); });
    auto link = MakeStreamLink(server->Address(), error);
    if (!link) {
        state.SkipWithError(error.c_str());
    } else {
        const drivesim::Request request = ReadMer();
        for (auto _ : state) {
            const drivesim::Response response = link->Transact(request);
            if (!response.ok()) {
                state.SkipWithError(response.error.c_str());
                break;
            }
        }
    }
    link.reset();
    server->Stop();
    serving.join();
}
BENCHMARK(BM_TransactionOverTcpLoopback)->UseRealTime();

// 2000 records of 4 values and their times: the tuning tests' log, about 80 kB on the wire.
void BM_CodecLogResponse(benchmark::State& state) {
    drivesim::Response response;
    for (int k = 0; k < 2000; ++k) response.log.push_back({k * 5e-4, {1.0 * k, -2.0 * k, 3.5, 4.25}});
    for (auto _ : state) {
        const auto payload = drivesim::wire::EncodeResponse(response);
        const auto frame = drivesim::wire::MakeFrame(drivesim::wire::FrameKind::Response, 1, payload);
        drivesim::wire::FrameReader reader;
        reader.Feed(frame);
        auto item = reader.Next();
        benchmark::DoNotOptimize(drivesim::wire::DecodeResponse(item.frame.payload));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(drivesim::wire::EncodeResponse(response).size()));
}
BENCHMARK(BM_CodecLogResponse);

// A scope stream into a ring of 2000 points, the view taking what is new after every frame of
// 64 records: the cost per frame must not grow with the ring.
void BM_GraphAppendFrame(benchmark::State& state) {
    CGraphDocument doc;
    doc.SetItems({{"time", "s"}, {"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}});
    doc.SetCapacity(static_cast<std::size_t>(state.range(0)));
    CGraphWindow window(4, 0);
    window.SubclassDlgItem(1362, nullptr, doc.GetAt(0));
    double t = 0.0;
    for (auto _ : state) {
        for (int r = 0; r < 64; ++r, t += 5e-4) {
            const double row[] = {t, 1, 2, 3, 4};
            doc.AddPoint(row);
            window.UpdateLastPoint();
        }
        benchmark::DoNotOptimize(window.TakePending());
    }
}
BENCHMARK(BM_GraphAppendFrame)->Arg(2000)->Arg(200000);

}  // namespace

BENCHMARK_MAIN();
