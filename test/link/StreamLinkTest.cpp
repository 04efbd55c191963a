#include "DriveServer.h"
#include "StreamLink.h"

#include "drivesim/Protocol.h"
#include "drivesim/WireCodec.h"
#include "drivesim/SimConfig.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <stdexcept>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using drivesim::Op;
using drivesim::Request;
using drivesim::Response;

namespace {

constexpr double kShortTimeout_s = 0.3;
// Generous: the point is "not a hang", not speed.
constexpr double kHangMargin_s = 2.0;

// The simulated drive served on a loopback port from a thread of this process.
class ServedDrive {
public:
    ServedDrive() : m_drive(drivesim::DefaultSimConfig()) {
        std::string error;
        m_server = drivesim::DriveServer::Open("tcp:127.0.0.1:0", m_drive, error);
        if (!m_server) throw std::runtime_error(error);
        m_thread = std::thread([this] { m_server->Run(); });
    }
    ~ServedDrive() { Shutdown(); }
    void Shutdown() {
        if (!m_server) return;
        m_server->Stop();
        m_thread.join();
        m_server.reset();  // closes the listener and the connection
    }
    std::string Address() const { return m_server->Address(); }
    drivesim::DriveServer& Server() { return *m_server; }

private:
    drivesim::Drive m_drive;
    std::unique_ptr<drivesim::DriveServer> m_server;
    std::thread m_thread;
};

// pelmora-drivesim as a child process, on any free loopback port.
class DriveProcess {
public:
    DriveProcess() {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl(PELMORA_DRIVESIM_PATH, PELMORA_DRIVESIM_PATH, "--listen", "tcp:127.0.0.1:0", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* from_child = fdopen(out[0], "r");
        char line[256] = {};
        if (!fgets(line, sizeof line, from_child)) throw std::runtime_error("pelmora-drivesim printed nothing");
        fclose(from_child);
        std::string text(line);
        const std::string prefix = "serving ";
        if (text.rfind(prefix, 0) != 0) throw std::runtime_error("unexpected first line: " + text);
        m_address = text.substr(prefix.size(), text.find_last_not_of("\r\n") + 1 - prefix.size());
    }
    ~DriveProcess() {
        if (m_pid > 0) {
            Signal(SIGKILL);
        }
    }
    // Returns the exit status.
    int Signal(int signal) {
        kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }
    const std::string& Address() const { return m_address; }

private:
    pid_t m_pid = -1;
    std::string m_address;
};

// Two pseudo-terminals joined master to master by a thread: a null-modem cable between their
// two device ends.
class NullModem {
public:
    NullModem() {
        for (auto& end : m_ends) {
            end.master = posix_openpt(O_RDWR | O_NOCTTY);
            if (end.master < 0 || grantpt(end.master) != 0 || unlockpt(end.master) != 0)
                throw std::runtime_error("no pseudo-terminal");
            end.device = ptsname(end.master);
        }
        m_thread = std::thread([this] { Relay(); });
    }
    ~NullModem() {
        m_stop = true;
        m_thread.join();
        for (auto& end : m_ends) close(end.master);
    }
    const std::string& Device(int which) const { return m_ends[static_cast<std::size_t>(which)].device; }

private:
    void Relay() {
        std::array<std::uint8_t, 4096> buffer{};
        while (!m_stop) {
            pollfd fds[2] = {{m_ends[0].master, POLLIN, 0}, {m_ends[1].master, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & POLLIN)) {
                    // A device end nobody holds open: wait rather than spin on its hang-up.
                    if (fds[i].revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                const ssize_t n = read(fds[i].fd, buffer.data(), buffer.size());
                if (n <= 0) continue;
                for (ssize_t done = 0; done < n;) {
                    const ssize_t w = write(fds[1 - i].fd, buffer.data() + done, static_cast<std::size_t>(n - done));
                    if (w <= 0) break;
                    done += w;
                }
            }
        }
    }
    struct End {
        int master = -1;
        std::string device;
    };
    std::array<End, 2> m_ends;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::unique_ptr<DriveLink> Connect(const std::string& address, double timeout_s = kShortTimeout_s) {
    std::string error;
    auto link = MakeStreamLink(address, StreamLinkOptions{timeout_s}, error);
    EXPECT_TRUE(link) << address << ": " << error;
    return link;
}

Request Make(Op op, std::string name = {}, double value = 0.0, double time_s = 0.0) {
    Request r;
    r.op = op;
    r.name = std::move(name);
    r.value = value;
    r.time_s = time_s;
    return r;
}

// A run as a test dialog makes it: registers, a program with variables and a logger, polls.
std::vector<Request> ARun() {
    Request registers = Make(Op::WriteRegisters, {}, 0, 0.001);
    registers.registers = {{"PWMPER", 1500}, {"CLPER", 1}, {"SLPER", 10}, {"KPI", 12000}};
    Request download = Make(Op::Download, "Current_Controller_Tuning_Test", 0, 0.002);
    download.variables = {{"In1", drivesim::VarType::Int16, 5115}, {"STARTED", drivesim::VarType::Int16, 0}};
    download.logger = drivesim::LoggerSettings{100, 2, 1, {"Current_Reference", "Motor_Current"}};
    return {Make(Op::Ping),
            registers,
            Make(Op::ReadRegister, "PWMPER", 0, 0.003),
            Make(Op::ReadRegister, "NO_SUCH_REGISTER", 0, 0.004),
            download,
            Make(Op::Start, {}, 0, 0.05),
            Make(Op::ReadProgramVariable, "In1", 0, 0.07),
            Make(Op::WriteProgramVariable, "In1", 2000, 0.09),
            Make(Op::ReadProgramVariable, "In1", 0, 0.1),
            Make(Op::WriteVariable, "THTST", 16384, 0.11),
            Make(Op::ReadVariable, "THTST", 0, 0.12),
            Make(Op::AxisOn, {}, 0, 0.13),
            Make(Op::WriteRegister, "KPI", 9000, 0.14),
            Make(Op::UploadLog, {}, 0, 0.2),
            Make(Op::Stop, {}, 0, 0.25),
            Make(Op::AxisOn, {}, 0, 0.26)};
}

void ExpectSameResponse(const Response& in_process, const Response& linked, std::size_t step) {
    EXPECT_EQ(in_process.error, linked.error) << "step " << step;
    EXPECT_EQ(in_process.value, linked.value) << "step " << step;
    EXPECT_EQ(in_process.frames, linked.frames) << "step " << step;
    ASSERT_EQ(in_process.log.size(), linked.log.size()) << "step " << step;
    for (std::size_t i = 0; i < in_process.log.size(); ++i) {
        EXPECT_EQ(in_process.log[i].time_s, linked.log[i].time_s) << "step " << step << " record " << i;
        EXPECT_EQ(in_process.log[i].values, linked.log[i].values) << "step " << step << " record " << i;
    }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(StreamLink, ARunGivesTheSameResultsInProcessAndOverTcp) {
    drivesim::Drive local(drivesim::DefaultSimConfig());
    ServedDrive served;
    auto link = Connect(served.Address());
    ASSERT_TRUE(link);
    EXPECT_EQ(link->Describe(), served.Address());
    const auto run = ARun();
    for (std::size_t step = 0; step < run.size(); ++step) {
        const Response expected = drivesim::Dispatch(local, run[step]);
        const Response got = link->Transact(run[step]);
        ExpectSameResponse(expected, got, step);
    }
}

TEST(StreamLink, ARunGivesTheSameResultsThroughThePelmoraDrivesimProgram) {
    drivesim::Drive local(drivesim::DefaultSimConfig());
    DriveProcess process;
    auto link = Connect(process.Address());
    ASSERT_TRUE(link);
    const auto run = ARun();
    for (std::size_t step = 0; step < run.size(); ++step)
        ExpectSameResponse(drivesim::Dispatch(local, run[step]), link->Transact(run[step]), step);
}

TEST(StreamLink, ARunGivesTheSameResultsOverASerialLine) {
    NullModem cable;
    drivesim::Drive local(drivesim::DefaultSimConfig());
    drivesim::Drive served(drivesim::DefaultSimConfig());
    std::string error;
    auto server = drivesim::DriveServer::Open("serial:" + cable.Device(0) + ",921600", served, error);
    ASSERT_TRUE(server) << error;
    std::thread serving([&] { server->Run(); });
    {
        auto link = Connect("serial:" + cable.Device(1) + ",921600", 2.0);
        ASSERT_TRUE(link);
        const auto run = ARun();
        for (std::size_t step = 0; step < run.size(); ++step)
            ExpectSameResponse(drivesim::Dispatch(local, run[step]), link->Transact(run[step]), step);
    }
    server->Stop();
    serving.join();
}

// Each case damages the drive's answer to one transaction; the link reports it within the
// timeout, and the next transaction goes through again.
TEST(StreamLink, ADamagedOrMissingAnswerFailsCleanlyAndTheLinkRecovers) {
    struct Case {
        const char* what;
        std::function<bool(std::vector<std::uint8_t>&)> damage;
        std::string expected;  // after the address
    };
    const std::vector<Case> cases = {
        {"payload bit flipped", [](auto& f) { f[20] ^= 0x10; return true; }, " (CRC mismatch)"},
        {"payload CRC flipped", [](auto& f) { f.back() ^= 0x01; return true; }, " (CRC mismatch)"},
        {"header damaged", [](auto& f) { f[5] ^= 0x80; return true; }, " (no valid frame header within 0.3 s)"},
        {"answer lost", [](auto&) { return false; }, " within 0.3 s"},
        {"answer cut short", [](auto& f) { f.resize(f.size() - 3); return true; }, " within 0.3 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServedDrive served;
        auto link = Connect(served.Address());
        ASSERT_TRUE(link);
        ASSERT_TRUE(link->Transact(Make(Op::WriteRegister, "KPI", 1234)).ok());

        bool damaged = false;
        served.Server().SetReplyFilter([&](std::vector<std::uint8_t>& frame) {
            if (damaged) return true;
            damaged = true;
            return c.damage(frame);
        });
        const auto start = std::chrono::steady_clock::now();
        const Response failed = link->Transact(Make(Op::ReadRegister, "KPI"));
        EXPECT_LT(SecondsSince(start), kShortTimeout_s + kHangMargin_s);
        EXPECT_FALSE(failed.ok());
        const bool silent = Contains(c.expected, "within") && !Contains(c.expected, "header");
        const std::string prefix = silent ? "no answer from " : "corrupted frame from ";
        EXPECT_EQ(failed.error, prefix + served.Address() + c.expected);

        const Response next = link->Transact(Make(Op::ReadRegister, "KPI"));
        EXPECT_TRUE(next.ok()) << next.error;
        EXPECT_EQ(next.value, 1234);
    }
}

TEST(StreamLink, ALateAnswerIsNotTakenForTheNextOne) {
    ServedDrive served;
    auto link = Connect(served.Address());
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->Transact(Make(Op::WriteRegister, "A", 1)).ok());
    ASSERT_TRUE(link->Transact(Make(Op::WriteRegister, "B", 2)).ok());
    // The answer to the first read is held back and arrives just before the second's.
    std::mutex mutex;
    std::vector<std::uint8_t> held;
    int replies = 0;
    served.Server().SetReplyFilter([&](std::vector<std::uint8_t>& frame) {
        std::lock_guard lock(mutex);
        if (++replies == 1) {
            held = frame;
            return false;
        }
        frame.insert(frame.begin(), held.begin(), held.end());
        held.clear();
        return true;
    });
    EXPECT_FALSE(link->Transact(Make(Op::ReadRegister, "A")).ok());
    const Response b = link->Transact(Make(Op::ReadRegister, "B"));
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.value, 2);
}

TEST(StreamLink, AServerThatGoesAwayEndsEveryLaterTransactionWithOneClearText) {
    ServedDrive served;
    const std::string address = served.Address();
    auto link = Connect(address);
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->Transact(Make(Op::Ping)).ok());
    served.Shutdown();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Response r = link->Transact(Make(Op::AxisOn));
        EXPECT_EQ(r.error, "the drive at " + address + " closed the connection") << "attempt " << attempt;
    }
}

TEST(StreamLink, AKilledDriveProcessIsAClearFailureNotAHang) {
    DriveProcess process;
    auto link = Connect(process.Address());
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->Transact(Make(Op::WriteRegister, "KPI", 5)).ok());
    process.Signal(SIGKILL);
    const auto start = std::chrono::steady_clock::now();
    const Response r = link->Transact(Make(Op::ReadRegister, "KPI"));
    EXPECT_LT(SecondsSince(start), kShortTimeout_s + kHangMargin_s);
    EXPECT_EQ(r.error, "the drive at " + process.Address() + " closed the connection");
}

TEST(StreamLink, TheDriveProcessEndsCleanlyOnTerminate) {
    DriveProcess process;
    const int status = process.Signal(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(StreamLink, ASilentServerFailsWithTheDefaultTimeoutInItsText) {
    ServedDrive served;
    served.Server().SetReplyFilter([](std::vector<std::uint8_t>&) { return false; });
    std::string error;
    auto link = MakeStreamLink(served.Address(), error);
    ASSERT_TRUE(link) << error;
    const auto start = std::chrono::steady_clock::now();
    const Response r = link->Transact(Make(Op::Ping));
    EXPECT_LT(SecondsSince(start), 2.0 + kHangMargin_s);
    EXPECT_EQ(r.error, "no answer from " + served.Address() + " within 2 s");
}

TEST(StreamLink, BadSpecsAndUnreachableDrivesAreRefusedAtOnce) {
    // A port that was free a moment ago: nothing listens there.
    std::string free_port;
    {
        ServedDrive served;
        free_port = served.Address();
    }
    struct Case {
        std::string spec;
        double timeout_s;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {free_port, kShortTimeout_s, "cannot connect to " + free_port + ": "},
        {"tcp:127.0.0.1", kShortTimeout_s, "expected tcp:HOST:PORT"},
        {"serial:/nonexistent/tty", kShortTimeout_s, "cannot open serial port /nonexistent/tty"},
        {"pipe:x", kShortTimeout_s, "tcp:HOST:PORT or serial:DEVICE"},
        {"tcp:127.0.0.1:1", 0.0, "timeout must be a positive number"},
        {"tcp:127.0.0.1:1", std::nan(""), "timeout must be a positive number"},
    };
    for (const auto& c : cases) {
        std::string error;
        auto link = MakeStreamLink(c.spec, StreamLinkOptions{c.timeout_s}, error);
        EXPECT_FALSE(link) << c.spec;
        EXPECT_TRUE(Contains(error, c.expected)) << c.spec << ": " << error;
    }
}

TEST(DriveServer, ADamagedRequestIsAnsweredWithAnErrorAndNotExecuted) {
    ServedDrive served;
    auto link = Connect(served.Address());
    ASSERT_TRUE(link);
    // A raw client: the same frames, one of them damaged on the way.
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    const auto port = static_cast<std::uint16_t>(std::stoi(served.Address().substr(served.Address().rfind(':') + 1)));
    // The server serves one connection at a time: free the link's first.
    link.reset();
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    auto payload = drivesim::wire::EncodeRequest(Make(Op::WriteRegister, "KPI", 777));
    auto frame = drivesim::wire::MakeFrame(drivesim::wire::FrameKind::Request, 9, payload);
    frame[drivesim::wire::kHeaderBytes + 3] ^= 0x01;
    const auto read = drivesim::wire::MakeFrame(drivesim::wire::FrameKind::Request, 10,
                                                drivesim::wire::EncodeRequest(Make(Op::ReadRegister, "KPI")));
    frame.insert(frame.end(), read.begin(), read.end());
    asio::write(socket, asio::buffer(frame));
    drivesim::wire::FrameReader reader;
    std::vector<Response> answers;
    std::array<std::uint8_t, 4096> buffer{};
    while (answers.size() < 2) {
        const std::size_t n = socket.read_some(asio::buffer(buffer));
        reader.Feed(std::span(buffer.data(), n));
        for (auto item = reader.Next(); item.event == drivesim::wire::FrameReader::Event::Frame; item = reader.Next()) {
            auto decoded = drivesim::wire::DecodeResponse(item.frame.payload);
            ASSERT_TRUE(decoded.ok()) << decoded.error;
            answers.push_back(*decoded.value);
        }
    }
    EXPECT_EQ(answers[0].error, "the drive received a corrupted request (CRC mismatch)");
    EXPECT_FALSE(answers[1].ok()) << "the damaged write must not have reached the drive";
}
