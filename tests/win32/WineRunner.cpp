// Runs a Windows test program of the Win32 link under Wine, with simulated
// displays on pseudo-terminals behind the prefix's COM ports, and behind
// device servers on the loopback:
//   wine_runner PREFIX PROGRAM.exe
// COM7 and COM12 of the prefix are mapped (once, in its registry, see
// WinePrefix.h) to links in the prefix folder, which point at the display
// started behind each.
// The program asks for what it needs on its standard output, one line each,
// and reads the answer on its standard input. Display N is the one behind
// COM N, or behind the server @serve N put in front of it:
//   @start N      a display (8n2, 9600, address 1) behind COM N: "started"
//   @stop N       that display goes away, as an unplugged adapter: "stopped"
//   @serve N rtu|mbap
//                 display N (started if it is not yet) behind a device server
//                 on 127.0.0.1, at a free port, carrying RTU frames as they
//                 are (rtu) or, as a Modbus TCP gateway, under the MBAP header
//                 (mbap): the path the program opens, "tcp://127.0.0.1:40123"
//                 or "modbus-tcp://127.0.0.1:40123"
//   @drop N B     the server cuts its next reply after B bytes and closes the
//                 connection, as a device server that restarts: "dropping"
//   @unserve N    the server goes away and nothing listens at its port any
//                 more; the display stays: "unserved"
//   @spoil N      the port's line as another program may leave it: XON/XOFF
//                 and CTS flow control, 4800 baud: "spoiled"
//   @found N      "as found" when the line is back as spoiled, else what differs
//   @line N       the line the last request came at: "9600 8n2"
//   @set N R V    register R of the display becomes V: "set"
//   @get N R      register R of the display, in decimal
// Everything else it prints is passed on. Without Wine the test is skipped
// (exit 77).
#include "DeviceServer.h"
#include "SimDisplay.h"
#include "WinePrefix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSkipped = 77;

struct Behind {
    std::unique_ptr<sim::SimDisplay> display;
    termios spoiled {};
    // In front of the display, when served; declared after it, as it goes first.
    std::unique_ptr<sim::DeviceServer> server;
};

termios LineOf(const std::string& device, bool* read)
{
    termios line {};
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    *read = fd >= 0 && tcgetattr(fd, &line) == 0;
    if (fd >= 0)
        ::close(fd);
    return line;
}

std::string Difference(const termios& was, const termios& now)
{
    std::string differs;
    if (cfgetospeed(&was) != cfgetospeed(&now))
        differs += " rate";
    const tcflag_t inputs[] = {IXON, IXOFF};
    const char* inputNames[] = {"IXON", "IXOFF"};
    for (int k = 0; k < 2; ++k)
        if ((was.c_iflag & inputs[k]) != (now.c_iflag & inputs[k]))
            differs += std::string(" ") + inputNames[k];
    if ((was.c_cflag & (CRTSCTS | CSTOPB | CSIZE)) != (now.c_cflag & (CRTSCTS | CSTOPB | CSIZE)))
        differs += " flow control, stop bits or data bits";
    return differs.empty() ? "as found" : "differs:" + differs;
}

class Displays {
public:
    explicit Displays(const Wine& wine) : wine_(wine) {}

    std::string Answer(const std::string& request)
    {
        std::istringstream words(request);
        std::string command;
        int number = 0;
        words >> command >> number;
        if (command == "start") {
            Behind& port = displays_[number];
            std::string error;
            if (!StartDisplay(port, &error))
                return "cannot start: " + error;
            const std::string link = wine_.PortLink(number);
            unlink(link.c_str());
            return symlink(port.display->DevicePath().c_str(), link.c_str()) == 0 ? "started" : "cannot link";
        }
        if (command == "serve") {
            std::string protocol, error;
            words >> protocol;
            if (protocol != "rtu" && protocol != "mbap")
                return "serve rtu or mbap, not " + protocol;
            Behind& port = displays_[number];
            port.server.reset();
            if (!port.display && !StartDisplay(port, &error))
                return "cannot start: " + error;
            port.server = std::make_unique<sim::DeviceServer>(
                *port.display, protocol == "rtu" ? sim::DeviceServer::Protocol::RtuOverTcp
                                                 : sim::DeviceServer::Protocol::ModbusTcp);
            if (!port.server->Start(0, &error)) {
                port.server.reset();
                return "cannot serve: " + error;
            }
            return port.server->Path();
        }
        auto found = displays_.find(number);
        if (found == displays_.end() || !found->second.display)
            return "no display " + std::to_string(number);
        Behind& port = found->second;
        sim::SimDisplay& display = *port.display;
        if (command == "stop") {
            port.server.reset();
            port.display.reset();
            return "stopped";
        }
        if (command == "drop" || command == "unserve") {
            if (!port.server)
                return "no server in front of display " + std::to_string(number);
            if (command == "unserve") {
                port.server.reset();
                return "unserved";
            }
            long bytes = -1;
            words >> bytes;
            if (bytes < 0)
                return "drop after how many bytes?";
            port.server->DropMidReply(std::size_t(bytes));
            return "dropping";
        }
        if (command == "spoil") {
            bool read = false;
            termios line = LineOf(display.DevicePath(), &read);
            line.c_iflag |= IXON | IXOFF;
            line.c_cflag |= CRTSCTS;
            cfsetspeed(&line, B4800);
            int fd = ::open(display.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const bool set = read && fd >= 0 && tcsetattr(fd, TCSANOW, &line) == 0;
            if (fd >= 0)
                ::close(fd);
            port.spoiled = LineOf(display.DevicePath(), &read);
            return set && read ? "spoiled" : "cannot spoil";
        }
        if (command == "found") {
            bool read = false;
            const termios now = LineOf(display.DevicePath(), &read);
            return read ? Difference(port.spoiled, now) : "cannot read the line";
        }
        if (command == "line") {
            const std::vector<sim::ReceivedFrame> frames = display.Frames();
            if (frames.empty())
                return "no request came";
            const sim::LineSnapshot& line = frames.back().line;
            return std::to_string(line.baud) + (line.oddParity ? " 8o1" : line.twoStopBits ? " 8n2" : " 8n1");
        }
        unsigned reg = 0;
        std::uint32_t value = 0;
        words >> reg >> value;
        if (command == "set") {
            display.SetRegister(reg, value);
            return "set";
        }
        if (command == "get")
            return std::to_string(display.Register(reg));
        return "unknown request";
    }

private:
    // A new display, none of the old one's registers: no server may still
    // stand in front of the old one.
    static bool StartDisplay(Behind& port, std::string* error)
    {
        port.server.reset();
        port.display = std::make_unique<sim::SimDisplay>();
        return port.display->Start(error);
    }

    const Wine& wine_;
    std::map<int, Behind> displays_;
};

// Runs the program with its requests answered; its exit code.
int RunProgram(const Wine& wine, const std::string& program)
{
    int toProgram[2], fromProgram[2];
    if (pipe(toProgram) != 0 || pipe(fromProgram) != 0)
        return 2;
    pid_t child = fork();
    if (child == 0) {
        wine.Environment();
        dup2(toProgram[0], 0);
        dup2(fromProgram[1], 1);
        int log = ::open(wine.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, 2);
        for (int fd : {toProgram[0], toProgram[1], fromProgram[0], fromProgram[1], log})
            ::close(fd);
        execl(wine.wine.c_str(), wine.wine.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(toProgram[0]);
    ::close(fromProgram[1]);
    FILE* output = fdopen(fromProgram[0], "r");
    Displays displays(wine);
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    bool tallied = false;  // the program's last words, "N passed, M failed", came
    while ((length = getline(&line, &capacity, output)) > 0) {
        std::string text(line, std::size_t(length));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        unsigned passed = 0, failed = 0;
        char end = 0;
        tallied = std::sscanf(text.c_str(), "%u passed, %u failed%c", &passed, &failed, &end) == 2;
        if (!text.empty() && text[0] == '@') {
            const std::string answer = displays.Answer(text.substr(1)) + "\n";
            if (write(toProgram[1], answer.data(), answer.size()) != ssize_t(answer.size()))
                break;
            continue;
        }
        std::cout << text << std::endl;
    }
    std::free(line);
    std::fclose(output);
    ::close(toProgram[1]);
    int status = 0;
    waitpid(child, &status, 0);
    const int result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // Wine may end a program that crashed with 0: only its tally says it ran to its end.
    if (result == 0 && !tallied) {
        std::cout << "the program ended before its tally (it crashed?)" << std::endl;
        return 1;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: wine_runner PREFIX PROGRAM.exe\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const Wine wine = FindWine(argv[1]);
    if (wine.wine.empty() || wine.server.empty()) {
        std::cout << "Wine is not installed: skipped\n";
        return kSkipped;
    }
    if (!wine.Prepare()) {
        std::cerr << "cannot make the Wine prefix " << wine.prefix << "; see " << wine.log << "\n";
        return 1;
    }
    // A server of our own, started apart: one started by the program would
    // keep its output open after it ends.
    wine.Run({"-p"}, wine.server);
    const int result = RunProgram(wine, argv[2]);
    wine.Run({"-k"}, wine.server);
    if (result != 0)
        std::cout << "Wine's own messages: " << wine.log << "\n";
    return result;
}
