// Runs `vboard run --stats -- dorvex test` on a fault-free board (RUNS times,
// default 1) and reports the board's figures per run and their best:
//   e2e_bench [RUNS]
// Besides instructions per wall second over the whole run, each run reports
// the CPU time of the processes it started (vboard and dorvex, user + system)
// and instructions per CPU second: the wall time includes the second that
// dorvex sleeps while the board re-enumerates, when nothing executes.
// Exit status 0 when every run passed the board test.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct Figures {
    unsigned long long instructions = 0;
    double virtual_s = 0, wall_s = 0;
    unsigned long long model_errors = 0;
    bool complete = false;
};

// The figures of `vboard --stats`, one line each on standard error.
Figures parse(const std::string& err) {
    Figures f;
    int found = 0;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        if (std::sscanf(line.c_str(), "vboard: instructions retired: %llu", &f.instructions) == 1) ++found;
        else if (std::sscanf(line.c_str(), "vboard: virtual time: %lf s", &f.virtual_s) == 1) ++found;
        else if (std::sscanf(line.c_str(), "vboard: wall time: %lf s", &f.wall_s) == 1) ++found;
        else if (std::sscanf(line.c_str(), "vboard: model errors: %llu", &f.model_errors) == 1) ++found;
    }
    f.complete = found == 4;
    return f;
}

double children_cpu_seconds() {
    rusage r{};
    ::getrusage(RUSAGE_CHILDREN, &r);
    auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return secs(r.ru_utime) + secs(r.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 1;
    if (runs < 1) {
        std::fprintf(stderr, "usage: e2e_bench [RUNS]\n");
        return 2;
    }
    char dir[] = "/tmp/e2e-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    const std::string err_file = std::string(dir) + "/err", con_file = std::string(dir) + "/console";
    const std::string cmd = std::string("'") + VBOARD_BINARY + "' run --stats --console '" + con_file + "' -- '" +
                            DORVEX_BINARY + "' test 2>'" + err_file + "' >/dev/null";
    std::printf("e2e: dorvex test on a fault-free virtual board, %d run(s)\n", runs);
    double best_rate = 0;
    int status = 0;
    for (int i = 0; i < runs; ++i) {
        const double cpu_before = children_cpu_seconds();
        const int rc = std::system(cmd.c_str());
        const double cpu_s = children_cpu_seconds() - cpu_before;
        std::ifstream f(err_file);
        std::stringstream s;
        s << f.rdbuf();
        const Figures fig = parse(s.str());
        const bool ok = rc == 0 && s.str().find("All tests ok!\n") != std::string::npos;
        if (!fig.complete || !ok) {
            std::printf("run %d: dorvex test failed (status %d)\n", i + 1, rc);
            std::fputs(s.str().substr(0, 4000).c_str(), stdout);
            status = 1;
            continue;
        }
        const double rate = fig.wall_s > 0 ? fig.instructions / fig.wall_s : 0;
        if (rate > best_rate) best_rate = rate;
        std::printf("run %d: instructions retired %llu, virtual time %.3f s, wall time %.3f s, "
                    "%.1f M instructions per wall second, CPU time %.3f s, %.1f M instructions per CPU second, "
                    "model errors %llu\n",
                    i + 1, fig.instructions, fig.virtual_s, fig.wall_s, rate / 1e6, cpu_s,
                    cpu_s > 0 ? fig.instructions / cpu_s / 1e6 : 0.0, fig.model_errors);
    }
    if (best_rate > 0) std::printf("e2e: best %.1f M instructions per wall second\n", best_rate / 1e6);
    std::remove(err_file.c_str());
    std::remove(con_file.c_str());
    ::rmdir(dir);
    return status;
}
