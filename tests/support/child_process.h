// Runs a program of the build as a child process with its output in files,
// for tests of the command-line tools. Every wait is bounded: a child that
// outlives its deadline is killed.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kn::test {

inline std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess() { Kill(); }
    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // Starts program with args; stdout and stderr go to the given files.
    bool Start(const std::string &program, const std::vector<std::string> &args, const std::string &outPath,
               const std::string &errPath)
    {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        m_Pid = ::fork();
        if (m_Pid == 0) {
            const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int nul = ::open("/dev/null", O_RDONLY);
            if (out < 0 || err < 0 || nul < 0) {
                ::_exit(127);
            }
            ::dup2(nul, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return m_Pid > 0;
    }

    // The exit status, or -1 when the child did not end in time (it is then
    // killed) or ended by a signal.
    int Wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_Pid > 0) {
            int status = 0;
            const pid_t r = ::waitpid(m_Pid, &status, WNOHANG);
            if (r == m_Pid) {
                m_Pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

    pid_t Pid() const { return m_Pid; }

    void Signal(int sig)
    {
        if (m_Pid > 0) {
            ::kill(m_Pid, sig);
        }
    }

    void Kill()
    {
        if (m_Pid > 0) {
            ::kill(m_Pid, SIGKILL);
            int status = 0;
            ::waitpid(m_Pid, &status, 0);
            m_Pid = -1;
        }
    }

private:
    pid_t m_Pid = -1;
};

}  // namespace kn::test
