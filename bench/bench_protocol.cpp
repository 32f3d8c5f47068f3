// One command frame and its acknowledgement through a pseudo-terminal played by
// the controller simulator: the reader's round trip next to a bare client's,
// then the command rate on a paced 19200 baud line next to the wire limit.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bare_client.h"
#include "reader.h"
#include "support/controller_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kReadCapacity = TRfidReader::BuildFrame(0x40, 0x04, 0);

// Seconds per command through the reader: SendCommand, then wait in the event
// loop until the acknowledgement. Negative when a command timed out.
double ReaderRoundTrip(const std::string& device, int commands) {
    SetComDeviceResolver([device](const std::string&) { return device; });
    TRfidReader reader;
    reader.PortNo = 1;
    reader.SetupPort();
    reader.SetConnected(true);
    const auto start = Clock::now();
    for (int i = 0; i < commands; ++i) {
        reader.SendCommand(0x40, 0x04, 0);
        while (!reader.AckRx() && !reader.CmdTimeout())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!reader.AckRx() || reader.AckParam() != 2000) return -1;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    reader.SetConnected(false);
    SetComDeviceResolver({});
    return seconds / commands;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        constexpr int kCommands = 500;
        double raw = 0, viaReader = 0;
        {
            lorvane_test::ControllerSim sim;
            raw = BareRoundTripSeconds(sim.DevicePath(), kCommands,
                                       [](int) { return kReadCapacity; });
            viaReader = ReaderRoundTrip(sim.DevicePath(), kCommands);
        }
        if (raw <= 0 || viaReader <= 0) {
            std::fprintf(stderr, "bench_protocol: a command failed\n");
            return 1;
        }
        std::printf(
            "round trip per read-capacity command (mean of %d): reader %.1f us, baseline bare "
            "client %.1f us, ratio %.2f\n",
            kCommands, viaReader * 1e6, raw * 1e6, viaReader / raw);

        // 19200 baud, 10 bits a byte: 11 bytes out and 9 back cost 200 bits.
        constexpr double kWireLimit = 19200.0 / 200.0;
        constexpr int kPaced = 300;
        double pacedRaw = 0, pacedReader = 0;
        {
            lorvane_test::ControllerSim sim({"--baud", "19200"});
            pacedRaw =
                BareRoundTripSeconds(sim.DevicePath(), kPaced, [](int) { return kReadCapacity; });
            pacedReader = ReaderRoundTrip(sim.DevicePath(), kPaced);
        }
        if (pacedRaw <= 0 || pacedReader <= 0) {
            std::fprintf(stderr, "bench_protocol: a paced command failed\n");
            return 1;
        }
        std::printf(
            "commands per second at 19200 baud (%d commands): reader %.1f/s, baseline wire limit "
            "%.1f/s, ratio %.3f (target 0.90 or better; bare client %.1f/s)\n",
            kPaced, 1.0 / pacedReader, kWireLimit, (1.0 / pacedReader) / kWireLimit,
            1.0 / pacedRaw);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_protocol: %s\n", e.what());
        return 1;
    }
    return 0;
}
