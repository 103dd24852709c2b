// lqs-sim: a simulated LQS bench supply on a pseudo-terminal.
// First stdout line is the slave path, printed once the port and its link are
// ready; runs until SIGINT/SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "pty_endpoint.h"
#include "serial/port_list_dir.h"
#include "sim_control.h"
#include "sim_link.h"

namespace {

using lqs::sim::Model;
using lqs::sim::PtyEndpoint;

const char kUsage[] =
    "usage: lqs-sim [--model A|B|C] [--link PATH | --no-link] [--echo] [--baud N]\n"
    "               [--answer-ms N] [--jitter-ms N] [--min-spacing-ms N]\n"
    "               [--load-step CH:SECONDS:OHMS]... [--control PATH] [--events PATH]\n"
    "  --model A|B|C       LQS-6200A, LQS-6200B (default), LQS-6500B\n"
    "  --link PATH         symlink PATH to the pty instead of the per-user ttyLQSn link\n"
    "  --no-link           make no link\n"
    "  --echo              print every frame acted on, on stdout after the pty path\n"
    "  --baud N            line speed for the bytes' time on the line, 10 bits a byte;\n"
    "                      default 9600, 0 = bytes take no time\n"
    "  --answer-ms N       from a query taking effect to its reply starting; default 10\n"
    "  --jitter-ms N       up to N ms more per reply, at random; default 0\n"
    "  --min-spacing-ms N  ignore a command ending less than N ms after the last reply\n"
    "                      ended; default 0 = never\n"
    "  --load-step CH:SECONDS:OHMS\n"
    "                      set channel CH's load to OHMS (a number, or 'open') SECONDS\n"
    "                      after the first OUT1 arrived (0: before anything after it is\n"
    "                      answered); may be given more than once\n"
    "  --control PATH      read lines 'load CH OHMS' from the FIFO at PATH, made if\n"
    "                      missing and then removed at the end\n"
    "  --events PATH       write a line 'NANOSECONDS WHAT' to PATH ('-': stdout) for\n"
    "                      each OUT0 and OUT1 when its last byte arrived, and 'load CH\n"
    "                      OHMS' when a load changed; the time is CLOCK_MONOTONIC\n"
    "Prints the pty path as the first line once ready and runs until SIGINT or SIGTERM.\n";

bool parseModel(const std::string& s, Model& model) {
    if (s == "A" || s == "a")
        model = Model::A;
    else if (s == "B" || s == "b")
        model = Model::B;
    else if (s == "C" || s == "c")
        model = Model::C;
    else
        return false;
    return true;
}

bool takesValue(const std::string& arg) {
    for (const char* option : {"--model", "--link", "--baud", "--answer-ms", "--jitter-ms",
                               "--min-spacing-ms", "--load-step", "--control", "--events"})
        if (arg == option) return true;
    return false;
}

// A whole non-negative number no larger than max.
bool parseCount(const char* s, int max, int& out) {
    const char* end = s + std::strlen(s);
    int v = 0;
    const auto [ptr, ec] = std::from_chars(s, end, v);
    if (ec != std::errc() || ptr != end || ptr == s || v < 0 || v > max) return false;
    out = v;
    return true;
}

// The directory is shared /tmp ground: use it only if it is really ours and private.
bool prepareLinkDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) {
        std::fprintf(stderr, "lqs-sim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    // The same check as the program's port list, so both trust the same directories.
    if (!lqs::isPrivateDirectory(dir.c_str())) {
        std::fprintf(stderr, "lqs-sim: %s is not a private directory owned by you; no link made\n",
                     dir.c_str());
        return false;
    }
    return true;
}

// A link is live while it points at an existing pty slave of ours.
bool isLiveLink(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    struct stat st {};
    return std::strncmp(target, "/dev/pts/", 9) == 0 && ::stat(target, &st) == 0 &&
           S_ISCHR(st.st_mode) && st.st_uid == ::getuid();
}

// Left by a simulator that was killed: our own link, no longer live.
bool isDeadLinkOfOurs(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid == ::getuid() &&
           !isLiveLink(path);
}

std::string linkFirstFree(PtyEndpoint& endpoint) {
    if (!prepareLinkDirectory(lqs::sim::linkDirectory())) return {};
    for (int i = 0; i < lqs::sim::kLinkCount; ++i) {
        const std::string path = lqs::sim::linkPath(i);
        if (isDeadLinkOfOurs(path)) ::unlink(path.c_str());
        const std::error_code ec = endpoint.makeLink(path);
        if (!ec) return path;
        if (ec != std::errc::file_exists) {
            std::fprintf(stderr, "lqs-sim: cannot link %s: %s\n", path.c_str(),
                         ec.message().c_str());
            return {};
        }
    }
    std::fprintf(stderr, "lqs-sim: all %d links in %s are taken; no link made\n",
                 lqs::sim::kLinkCount, lqs::sim::linkDirectory().c_str());
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    Model model = Model::B;
    std::string link;
    bool noLink = false;
    bool echo = false;
    lqs::sim::LineModel line;
    std::vector<lqs::sim::LoadStep> steps;
    std::string controlPath;
    std::string eventsPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--model" && i + 1 < argc) {
            if (!parseModel(argv[++i], model)) {
                std::fprintf(stderr, "lqs-sim: unknown model '%s'\n%s", argv[i], kUsage);
                return 2;
            }
        } else if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else if (arg == "--no-link") {
            noLink = true;
        } else if (arg == "--load-step" && i + 1 < argc) {
            std::string error;
            const auto step = lqs::sim::parseLoadStep(argv[++i], error);
            if (!step) {
                std::fprintf(stderr, "lqs-sim: --load-step %s: %s\n%s", argv[i], error.c_str(),
                             kUsage);
                return 2;
            }
            steps.push_back(*step);
        } else if (arg == "--control" && i + 1 < argc) {
            controlPath = argv[++i];
        } else if (arg == "--events" && i + 1 < argc) {
            eventsPath = argv[++i];
        } else if (arg == "--echo") {
            echo = true;
        } else if ((arg == "--baud" || arg == "--answer-ms" || arg == "--jitter-ms" ||
                    arg == "--min-spacing-ms") &&
                   i + 1 < argc) {
            int n = 0;
            const int max = arg == "--baud" ? 10'000'000 : 3'600'000;
            if (!parseCount(argv[++i], max, n)) {
                std::fprintf(stderr, "lqs-sim: %s wants a whole number from 0 to %d, not '%s'\n%s",
                             arg.c_str(), max, argv[i], kUsage);
                return 2;
            }
            if (arg == "--baud")
                line.baud = n;
            else if (arg == "--answer-ms")
                line.answer = std::chrono::milliseconds(n);
            else if (arg == "--jitter-ms")
                line.jitter = std::chrono::milliseconds(n);
            else
                line.minSpacing = std::chrono::milliseconds(n);
        } else if (i + 1 == argc && takesValue(arg)) {
            std::fprintf(stderr, "lqs-sim: %s wants a value\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            std::fprintf(stderr, "lqs-sim: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    // Blocked before the I/O thread starts so it inherits the mask and sigwait gets them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    PtyEndpoint endpoint(model);
    endpoint.setLineModel(line);
    lqs::sim::SimControl control(endpoint, std::move(steps));
    control.setEcho(echo);
    if (!eventsPath.empty() && !control.openEvents(eventsPath)) return 1;
    if (!controlPath.empty() && !control.openControl(controlPath)) return 1;
    control.observe();
    try {
        endpoint.start();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "lqs-sim: %s\n", e.what());
        return 1;
    }

    std::string made;
    if (!link.empty() && !noLink) {
        if (isDeadLinkOfOurs(link)) ::unlink(link.c_str());
        if (const std::error_code ec = endpoint.makeLink(link)) {
            std::fprintf(stderr, "lqs-sim: cannot link %s: %s\n", link.c_str(),
                         ec.message().c_str());
            return 1;
        }
        made = link;
    } else if (!noLink) {
        made = linkFirstFree(endpoint);
    }
    // Whoever waits for the first line may use the port and its link at once.
    std::printf("%s\n", endpoint.slavePath().c_str());
    std::fflush(stdout);
    // After the port line: scripts that merge stderr read the link line second.
    if (!made.empty()) std::fprintf(stderr, "lqs-sim: link %s\n", made.c_str());

    const bool ok = control.run(signals);
    endpoint.stop();
    return ok ? 0 : 1;
}
