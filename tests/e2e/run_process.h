// Runs a program to its end with its standard output and standard error
// captured, for the end-to-end tests.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace e2e {

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// A scratch directory that goes with the object.
class TempDir {
public:
    TempDir() {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vboard-e2e-XXXXXX";
        if (!::mkdtemp(path_.data())) path_.clear();
    }
    ~TempDir() {
        if (!path_.empty()) [[maybe_unused]] int rc = std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Starts `argv`; stdout and stderr go to the given files.
inline pid_t start(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

inline int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {}
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

inline Outcome run(const std::vector<std::string>& argv, const TempDir& dir, const std::string& tag = "run") {
    const std::string out = dir.file(tag + ".out"), err = dir.file(tag + ".err");
    Outcome r;
    r.status = wait_for(start(argv, out, err));
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

// Shows control characters, so that a failing comparison is readable.
inline std::string visible(const std::string& s) {
    std::string v;
    for (char c : s) {
        if (c == '\r') v += "\\r";
        else if (c == '\n') v += "\\n\n";
        else v += c;
    }
    return v;
}

}  // namespace e2e
