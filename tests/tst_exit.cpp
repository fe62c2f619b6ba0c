// The port is closed however the program ends, so an ordinary user starts it
// again and reads while the display (here the simulator) still holds the line.
#include "SimDisplay.h"

#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A copy of the program an ordinary user can run: the build folder may sit in
// a private temporary folder (a clean clone in mktemp -d) that only root can
// enter. Empty when it cannot be made.
std::string CopyForEveryone(const char* program)
{
    char folder[] = "/tmp/vt-exit-XXXXXX";
    if (!mkdtemp(folder) || chmod(folder, 0755) != 0)
        return {};
    const std::string copy = std::string(folder) + "/vtconfig";
    const int from = open(program, O_RDONLY | O_CLOEXEC);
    const int to = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool copied = from >= 0 && to >= 0;
    char buffer[65536];
    for (ssize_t n; copied && (n = read(from, buffer, sizeof buffer)) != 0;)
        copied = n > 0 && write(to, buffer, std::size_t(n)) == n;
    if (from >= 0)
        close(from);
    if (to >= 0)
        close(to);
    return copied ? copy : std::string();
}

void RemoveCopy(const std::string& copy)
{
    unlink(copy.c_str());
    rmdir(copy.substr(0, copy.rfind('/')).c_str());
}

// Runs the program against `device` until it leaves by `way`; what it printed.
std::string RunProgram(const std::string& executable, const std::string& device, const char* way)
{
    int output[2];
    if (pipe(output) != 0)
        return "no pipe";
    const pid_t program = fork();
    if (program == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        setenv("VT_COM1", device.c_str(), 1);
        setenv("VT_EXIT_BY", way, 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("HOME", "/tmp", 1);
        execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    int status = 0;
    for (int waited = 0; waitpid(program, &status, WNOHANG) == 0; waited += 20) {
        if (waited > 30000) {
            kill(program, SIGKILL);
            waitpid(program, &status, 0);
            close(output[0]);
            return "hung";
        }
        usleep(20000);
    }
    char text[512] = {};
    const ssize_t n = read(output[0], text, sizeof text - 1);
    close(output[0]);
    std::string printed = n > 0 ? std::string(text, std::size_t(n)) : std::string();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        printed += "exit status " + std::to_string(status);
    return printed;
}

}  // namespace

class ExitTest : public QObject {
    Q_OBJECT
private slots:
    void theProgramStartsAgainAfterEveryWayOut()
    {
        // Root passes the tty's exclusive mode that a port left open keeps:
        // as an ordinary user. The verdict comes back through a pipe.
        const bool root = getuid() == 0;
        const std::string program = root ? CopyForEveryone(EXIT_HELPER) : std::string(EXIT_HELPER);
        QVERIFY2(!program.empty(), "cannot copy the program where an ordinary user can run it");
        int verdict[2];
        QCOMPARE(pipe(verdict), 0);
        const pid_t child = fork();
        if (child == 0) {
            std::signal(SIGTERM, SIG_DFL);
            close(verdict[0]);
            const passwd* nobody = getpwnam("nobody");
            if (getuid() == 0
                && (!nobody || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0
                    || setuid(nobody->pw_uid) != 0))
                _exit(2);
            sim::SimDisplay display;
            if (!display.Start())
                _exit(3);
            std::string report;
            const char* before = "nothing";
            for (const char* way : {"close", "term", "int", "search-term", "close"}) {
                const std::string printed = RunProgram(program, display.DevicePath(), way);
                if (printed != "stored\n")
                    report += std::string("started after leaving by ") + before + ": " + printed + "\n";
                before = way;
            }
            (void)!write(verdict[1], report.data(), report.size());
            _exit(0);
        }
        close(verdict[1]);
        char text[2048] = {};
        (void)!read(verdict[0], text, sizeof text - 1);
        close(verdict[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (root)
            RemoveCopy(program);
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY2(text[0] == 0, text);
    }
};

QTEST_GUILESS_MAIN(ExitTest)
#include "tst_exit.moc"
