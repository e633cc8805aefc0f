// vboard: a virtual ZQR-VT board on a socket, for programs built against
// libusb-0.1. See usage_text() for the command line.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cli/options.h"
#include "link/protocol.h"
#include "link/server.h"
#include "link/virtual_board_port.h"
#include "usb/virtual_board.h"

namespace {

using namespace vboard;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailure = 1;
constexpr Nanos kDrainSlice = 1'000'000, kDrainQuiet = 20'000'000, kDrainMax = 500'000'000;
constexpr int kExitUsage = 2;

void say(const std::string& msg) { std::fprintf(stderr, "vboard: %s\n", msg.c_str()); }

// The directory of this executable's substitute libusb-0.1: ../lib/vboard
// from the executable, in the build tree and after installation alike.
std::string library_dir() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "";
    std::string exe(buf.data(), static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return exe.substr(0, slash) + "/../lib/vboard";
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    if (!::getcwd(cwd.data(), cwd.size())) return path;
    return std::string(cwd.data()) + "/" + path;
}

// The board's console sink.
struct Console {
    FILE* file = nullptr;
    bool own = false;
    ~Console() {
        if (file) std::fflush(file);
        if (own && file) std::fclose(file);
    }
};

// Characters the board has sent on its console so far.
std::uint64_t g_console_chars = 0;

bool open_console(const cli::Options& o, Console& con, BoardConfig& cfg) {
    if (o.console.empty()) {
        cfg.console = [](char) { ++g_console_chars; };
        return true;
    }
    if (o.console == "-") {
        con.file = stdout;
    } else {
        con.file = std::fopen(o.console.c_str(), "w");
        if (!con.file) {
            say("cannot write the console to " + o.console + ": " + std::strerror(errno));
            return false;
        }
        con.own = true;
    }
    FILE* f = con.file;
    // Unbuffered, like a terminal on the serial line: whoever watches the
    // file sees every character as it leaves the board (at 115200 baud at
    // most 11520 characters per second of board time).
    cfg.console = [f](char c) {
        ++g_console_chars;
        std::fputc(c, f);
        std::fflush(f);
    };
    return true;
}

void print_stats(VirtualBoard& vb, Clock::time_point started) {
    const BoardStats s = vb.board().stats();
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count();
    std::fprintf(stderr, "vboard: instructions retired: %llu\n", static_cast<unsigned long long>(s.instructions));
    std::fprintf(stderr, "vboard: virtual time: %llu.%09llu s\n",
                 static_cast<unsigned long long>(s.virtual_time / 1'000'000'000),
                 static_cast<unsigned long long>(s.virtual_time % 1'000'000'000));
    std::fprintf(stderr, "vboard: wall time: %lld.%09lld s\n", static_cast<long long>(wall / 1'000'000'000),
                 static_cast<long long>(wall % 1'000'000'000));
    std::fprintf(stderr, "vboard: model errors: %zu\n", s.model_errors);
    const auto& errors = vb.board().model_errors();
    for (std::size_t i = 0; i < errors.size() && i < 20; ++i)
        std::fprintf(stderr, "vboard: model error: %s\n", errors[i].c_str());
}

// Signals end `serve` and are passed on to the command of `run`.
std::atomic<link::Server*> g_server{nullptr};
std::atomic<pid_t> g_child{0};

void on_signal(int sig) {
    if (const pid_t child = g_child.load()) {
        ::kill(child, sig);
        return;
    }
    if (auto* s = g_server.load()) s->stop();
}

void install_signals() {
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int serve(const cli::Options& o) {
    const auto started = Clock::now();
    Console con;
    BoardConfig cfg = o.board;
    if (!open_console(o, con, cfg)) return kExitFailure;
    VirtualBoard vb(cfg);  // powered on: the boot ROM's DFU device on the bus
    link::VirtualBoardPort port(vb);
    try {
        link::Server server(port, o.socket);
        g_server = &server;
        install_signals();
        server.run();
        g_server = nullptr;
    } catch (const std::exception& e) {
        g_server = nullptr;
        say(e.what());
        return kExitFailure;
    }
    if (o.stats) print_stats(vb, started);
    return 0;
}

// A connection to the board served on `path`, or -1 after saying why not.
int connect_board(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        say("socket path too long: " + path);
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        say("no board on " + path + ": " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// Runs the program with the substitute library and the board's socket;
// returns its exit status in the shell's way.
int run_program(const std::vector<std::string>& program, const std::string& socket, const std::string& libdir) {
    std::vector<char*> argv;
    for (const auto& a : program) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        say(std::string("fork: ") + std::strerror(errno));
        return kExitFailure;
    }
    if (pid == 0) {
        std::string path = libdir;
        if (const char* old = std::getenv("LD_LIBRARY_PATH"); old && *old) path += std::string(":") + old;
        ::setenv("LD_LIBRARY_PATH", path.c_str(), 1);
        ::setenv("VBOARD_SOCKET", socket.c_str(), 1);
        ::signal(SIGPIPE, SIG_DFL);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "vboard: cannot run %s: %s\n", argv[0], std::strerror(errno));
        std::fflush(stderr);
        ::_exit(errno == ENOENT ? 127 : 126);
    }
    g_child = pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            say(std::string("waitpid: ") + std::strerror(errno));
            g_child = 0;
            return kExitFailure;
        }
    }
    g_child = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return kExitFailure;
}

bool check_library(const std::string& libdir) {
    const std::string lib = libdir + "/libusb-0.1.so.4";
    if (::access(lib.c_str(), R_OK) != 0) {
        say("cannot find the libusb-0.1 substitute " + lib + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

int run(const cli::Options& o) {
    const std::string libdir = library_dir();
    if (!check_library(libdir)) return kExitFailure;
    if (!o.socket.empty()) {
        const int probe = connect_board(o.socket);
        if (probe < 0) return kExitFailure;
        ::close(probe);
        install_signals();
        return run_program(o.program, absolute(o.socket), libdir);
    }

    const auto started = Clock::now();
    Console con;
    BoardConfig cfg = o.board;
    if (!open_console(o, con, cfg)) return kExitFailure;

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vboard-XXXXXX";
    if (!::mkdtemp(dir.data())) {
        say("cannot make a directory for the board's socket: " + std::string(std::strerror(errno)));
        return kExitFailure;
    }
    const std::string socket = dir + "/board.sock";
    int status = kExitFailure;
    {
        VirtualBoard vb(cfg);
        link::VirtualBoardPort port(vb);
        try {
            link::Server server(port, socket);
            std::exception_ptr board_failure;
            std::thread owner([&] {
                try {
                    server.run();
                } catch (...) {
                    board_failure = std::current_exception();
                }
            });
            install_signals();
            status = run_program(o.program, socket, libdir);
            server.stop();
            owner.join();
            if (board_failure) std::rethrow_exception(board_failure);
        } catch (const std::exception& e) {
            say(e.what());
            ::rmdir(dir.c_str());
            return kExitFailure;
        }
        // Let the board finish what the command started (firmware that the
        // command has just started prints its banner, some milliseconds at
        // 115200 baud): run on until its console has been quiet for a while,
        // for at most half a second of virtual time. (A board waiting for
        // its transmitter counts as idle, so idleness says nothing here.)
        std::uint64_t seen = g_console_chars;
        Nanos quiet = 0;
        for (Nanos t = 0; t < kDrainMax && quiet < kDrainQuiet; t += kDrainSlice) {
            vb.run_for(kDrainSlice);
            quiet = g_console_chars == seen ? quiet + kDrainSlice : 0;
            seen = g_console_chars;
        }
        if (o.stats) print_stats(vb, started);
    }
    ::rmdir(dir.c_str());
    return status;
}

int reset(const cli::Options& o) {
    const int fd = connect_board(o.socket);
    if (fd < 0) return kExitFailure;
    link::Request req;
    req.type = link::MsgType::ResetButton;
    const auto out = link::encode_request(req);
    link::Frame frame;
    link::Reply rep;
    std::string error;
    const bool ok = link::write_all(fd, out.data(), out.size()) && link::read_frame(fd, frame, error) &&
                    link::decode_reply(frame, req.type, rep, error) && rep.type != link::MsgType::Error;
    ::close(fd);
    if (!ok) {
        say("the board on " + o.socket + " did not take the reset: " + (error.empty() ? rep.error : error));
        return kExitFailure;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const auto parsed = cli::parse_command_line(args);
    if (!parsed.ok) {
        say(parsed.error);
        return kExitUsage;
    }
    const auto& o = parsed.options;
    try {
        switch (o.command) {
        case cli::Command::Help:
            std::fputs(cli::usage_text().c_str(), stdout);
            return 0;
        case cli::Command::Serve:
            return serve(o);
        case cli::Command::Run:
            return run(o);
        case cli::Command::Reset:
            return reset(o);
        }
    } catch (const std::exception& e) {
        say(e.what());
        return kExitFailure;
    }
    return kExitFailure;
}
