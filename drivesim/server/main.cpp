// pelmora-drivesim: the simulated drive as a process, served over TCP or a serial port.
#include "DriveServer.h"

#include "drivesim/SimConfig.h"

#include <CLI/CLI.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <iostream>
#include <memory>
#include <thread>

int main(int argc, char** argv) {
    CLI::App app{"The simulated drive, served over a TCP port or a serial device, one connection at a time."};
    std::string listen;
    std::string sim_file;
    app.add_option("--listen", listen, "tcp:HOST:PORT (PORT 0: any free port) or serial:DEVICE[,BAUD]")->required();
    app.add_option("--sim", sim_file, "simulator configuration (JSON): the motor's truth and injected faults")
        ->check(CLI::ExistingFile);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help is a success; any other misuse of the command line exits with 2.
        return app.exit(e) == 0 ? 0 : 2;
    }

    drivesim::SimConfig config = drivesim::DefaultSimConfig();
    if (!sim_file.empty()) {
        auto loaded = drivesim::LoadSimConfig(sim_file);
        if (!loaded.ok()) {
            std::cerr << "pelmora-drivesim: " << loaded.error << "\n";
            return 1;
        }
        config = *loaded.value;
    }
    drivesim::Drive drive(config);

    std::string error;
    auto server = drivesim::DriveServer::Open(listen, drive, error);
    if (!server) {
        std::cerr << "pelmora-drivesim: " << error << "\n";
        return 1;
    }

    // Ctrl-C and kill end the server cleanly; the signals are waited for on their own thread
    // because the server's loop is not ours to interrupt from a handler.
    asio::io_context signal_io;
    asio::signal_set signals(signal_io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& ec, int) {
        if (!ec) server->Stop();
    });
    std::thread signal_thread([&] { signal_io.run(); });

    // The first line tells a script (or a test) the port actually bound.
    std::cout << "serving " << server->Address() << std::endl;
    const std::string failure = server->Run();
    signal_io.stop();
    signal_thread.join();
    if (!failure.empty()) {
        std::cerr << "pelmora-drivesim: " << failure << "\n";
        return 1;
    }
    return 0;
}
